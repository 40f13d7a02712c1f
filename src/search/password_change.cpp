#include "search/password_change.h"

#include <memory>

#include "directory/directory.h"

namespace agewarden {

void ForcePasswordChange(RunState& state, const AccountRow& row, std::unique_ptr<UserAccount> user) {
  const bool debug = state.options.debug;
  const std::string& upn = row.userPrincipalName;

  if (!user) {
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
  // The write goes on while the run does; its outcome takes this place in
  // the output once the directory answers.
  const size_t place = state.Hold();
  user->ForceChange(after, [&state, place, upn](HRESULT committed) {
    if (Failed(committed)) {
      ++state.errorCount;
      state.Fill(place, Format("Update for user %s failed\n", upn));
    } else {
      state.Fill(place, state.options.debug ? Format("Update for user %s succeeded\n", upn) : "");
    }
  });
}

}  // namespace agewarden
