// The -g group walk: every member account of a group and of its nested
// groups, one search each.
#pragma once

#include <cstdint>

#include "common/run_state.h"
#include "directory/directory.h"

namespace agewarden {

/// Walks `group`: nested groups recursively (a group already on the current
/// path is not entered again), one search per member account of the user's
/// own domain.
void ProcessGroup(RunState& state, AccountSearch& search, Group& group);

}  // namespace agewarden
