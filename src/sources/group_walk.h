// The -g group walk: every member account of a group and of its nested
// groups, one search each.
#pragma once

#include <cstdint>

#include "common/run_state.h"
#include "directory/directory.h"

namespace agewarden {

/// Members treated per batch.
constexpr size_t kMemberBatchSize = 100;

/// Walks `group`: nested groups recursively (a group already on the current
/// path is not entered again), one search per member account of the user's
/// own domain. A nested walk that fails (its group's path cannot be read)
/// ends the rest of its batch of kMemberBatchSize members.
void ProcessGroup(RunState& state, DirectorySearch& search, AdsGroup& group);

}  // namespace agewarden
