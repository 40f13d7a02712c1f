#include "search/password_change.h"

#include <memory>

#include "directory/directory.h"

namespace agewarden {

void ForcePasswordChange(RunState& state, const AccountRow& row) {
  const bool debug = state.options.debug;
  const std::string& upn = row.userPrincipalName;
  // Everything after the prefix is the DN, so a "/" in it needs no escaping
  // and a long DN simply makes a long path.
  const std::string path = "LDAP://" + row.distinguishedName;

  std::unique_ptr<AdsObject> user;
  if (Failed(state.directory->GetUser(path, user)) || !user) {
    state.Print("User %s - ADsGetObject failed\n", upn);
    ++state.errorCount;
    return;
  }
  if (debug) state.Write("ADsGetObject OK\n");

  // A failed Put or Get skips the remaining property steps, not the commit.
  [&] {
    if (Failed(user->Put("pwdLastSet", Variant{int32_t{0}}))) {
      state.Print("Put pwdLastSet for user %s failed\n", upn);
      return;
    }
    if (debug) state.Print("Put pwdLastSet for user %s OK\n", upn);

    Variant control;
    const HRESULT got = user->Get("userAccountControl", control);
    const int32_t* before = std::get_if<int32_t>(&control);
    if (Failed(got) || before == nullptr) {
      state.Print("Get userAccountControl for user %s failed\n", upn);
      return;
    }
    if (debug) {
      state.Print("Get userAccountControl for user %s OK\n", upn);
      state.Print("  before: userAccountControl=%d\n", *before);
    }
    const int32_t after = *before & ~kDontExpirePassword;
    if (debug) state.Print("  after:  userAccountControl=%d\n", after);
    if (Failed(user->Put("userAccountControl", Variant{after}))) {
      state.Print("Put userAccountControl for user %s failed\n", upn);
      return;
    }
    if (debug) state.Print("Put userAccountControl for user %s OK\n", upn);
  }();

  if (debug) state.Print("Issuing SetInfo for user %s ...\n", upn);
  const HRESULT committed = user->SetInfo();
  user.reset();
  if (Succeeded(committed)) {
    if (debug) state.Print("Update for user %s succeeded\n", upn);
  } else {
    state.Print("Update for user %s failed\n", upn);
    ++state.errorCount;
  }
}

}  // namespace agewarden
