// Forces the user of one account to choose a new password at next logon.
#pragma once

#include "common/run_state.h"
#include "search/find_users.h"

namespace agewarden {

/// Flag of userAccountControl: the password never expires.
constexpr int32_t kDontExpirePassword = 0x10000;

/// Binds the account by its distinguished name, puts pwdLastSet 0 and
/// userAccountControl without kDontExpirePassword, and commits both in one
/// write. A failed bind or commit prints its line and counts one error.
void ForcePasswordChange(RunState& state, const AccountRow& row);

}  // namespace agewarden
