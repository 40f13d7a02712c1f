// Forces the user of one account to choose a new password at next logon.
#pragma once

#include "common/run_state.h"
#include "search/find_users.h"

namespace agewarden {

/// Flag of userAccountControl: the password never expires.
constexpr int32_t kDontExpirePassword = 0x10000;

/// Binds the account by its distinguished name and writes pwdLastSet 0 and
/// userAccountControl without kDontExpirePassword in one write. A failed
/// bind, read of userAccountControl or commit prints its line and counts one
/// error; the change is then all or nothing: nothing is written.
void ForcePasswordChange(RunState& state, const AccountRow& row);

}  // namespace agewarden
