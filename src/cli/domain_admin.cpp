#include "cli/domain_admin.h"

#include <memory>

#include "directory/directory.h"

namespace agewarden {

bool IsDomainAdmin(RunState& state, const std::string& callerName) {
  std::unique_ptr<Group> group;
  if (Failed(state.directory->OpenGroup(state.domainName, "Domain Admins", group)) || !group) {
    state.Print("Unable to bind to WinNT://%s/Domain Admins\n", state.domainName);
    return false;
  }
  bool isMember = false;
  // The status is not needed: a call that fails leaves the answer false.
  group->HasMember(state.domainName, callerName, isMember);
  group.reset();
  if (isMember) {
    if (state.options.debug) state.Print("%s is a member of Domain Admins\n", callerName);
    return true;
  }
  if (state.options.debug) state.Print("%s is NOT a member of Domain Admins\n", callerName);
  return false;
}

}  // namespace agewarden
