#include "directory/directory.h"

namespace agewarden {

std::string AccountFilter(std::string_view clause) {
  return "(&" + std::string(kAccountConditions) + std::string(clause) + ")";
}

std::string UpnClause(std::string_view upn) { return "(userPrincipalName=" + std::string(upn) + ")"; }

}  // namespace agewarden
