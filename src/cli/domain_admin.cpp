#include "cli/domain_admin.h"

#include <memory>

#include "directory/directory.h"

namespace agewarden {

bool IsDomainAdmin(RunState& state, const std::string& callerName) {
  const std::string groupPath = "WinNT://" + state.domainName + "/Domain Admins";
  std::unique_ptr<AdsGroup> group;
  if (Failed(state.directory->GetGroup(groupPath, group)) || !group) {
    state.Print("Unable to bind to %s\n", groupPath);
    return false;
  }
  int16_t isMember = 0;
  // The status is not needed: a call that fails leaves the flag false.
  group->IsMember("WinNT://" + state.domainName + "/" + callerName, isMember);
  group.reset();
  if (isMember != 0) {
    if (state.options.debug) state.Print("%s is a member of Domain Admins\n", callerName);
    return true;
  }
  if (state.options.debug) state.Print("%s is NOT a member of Domain Admins\n", callerName);
  return false;
}

}  // namespace agewarden
