// Forces the user of one account to choose a new password at next logon.
#pragma once

#include <memory>

#include "common/run_state.h"
#include "directory/directory.h"
#include "search/find_users.h"

namespace agewarden {

/// Flag of userAccountControl: the password never expires.
constexpr int32_t kDontExpirePassword = 0x10000;

/// Writes pwdLastSet 0 and userAccountControl without kDontExpirePassword in
/// one write to `user`, the account of `row` as its search bound it. No user,
/// no userAccountControl read, or a failed commit prints its line and counts
/// one error; the change is then all or nothing: nothing is written. The
/// write is answered later: its outcome's line keeps its place in the output
/// meanwhile.
void ForcePasswordChange(RunState& state, const AccountRow& row, std::unique_ptr<UserAccount> user);

}  // namespace agewarden
