#include "search/password_change.h"

#include <memory>

#include "directory/directory.h"

namespace agewarden {

void ForcePasswordChange(RunState& state, const AccountRow& row) {
  const bool debug = state.options.debug;
  const std::string& upn = row.userPrincipalName;

  std::unique_ptr<UserAccount> user;
  if (Failed(state.directory->OpenUser(row.distinguishedName, user)) || !user) {
    state.Print("User %s - ADsGetObject failed\n", upn);
    ++state.errorCount;
    return;
  }
  if (debug) {
    state.Write("ADsGetObject OK\n");
    state.Print("Put pwdLastSet for user %s OK\n", upn);
  }

  // Without the value read nothing is written: pwdLastSet = 0 alone would
  // erase the date of the last change and, while the password never
  // expires, force nothing.
  int32_t before = 0;
  if (Failed(user->GetUserAccountControl(before))) {
    state.Print("Get userAccountControl for user %s failed\n", upn);
    ++state.errorCount;
    return;
  }
  const int32_t after = before & ~kDontExpirePassword;
  if (debug) {
    state.Print("Get userAccountControl for user %s OK\n", upn);
    state.Print("  before: userAccountControl=%d\n", before);
    state.Print("  after:  userAccountControl=%d\n", after);
    state.Print("Put userAccountControl for user %s OK\n", upn);
    state.Print("Issuing SetInfo for user %s ...\n", upn);
  }
  const HRESULT committed = user->ForceChange(after);
  user.reset();
  if (Succeeded(committed)) {
    if (debug) state.Print("Update for user %s succeeded\n", upn);
  } else {
    state.Print("Update for user %s failed\n", upn);
    ++state.errorCount;
  }
}

}  // namespace agewarden
