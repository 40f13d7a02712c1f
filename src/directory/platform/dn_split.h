// DN text split into its RDNs, the one thing about DNs that each platform
// reads with its own library: libldap splits them on POSIX (ldap_bv2dn);
// Wldap32 has no such call, so the Windows build reads the text itself. What
// the backend picks out of the parts is shared (backend/dn.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace agewarden::ldap {

/// One attribute type and value of an RDN.
struct DnAva {
  std::string type;
  /// The value with its escapes and quotes undone; a "#" hex value as it is
  /// written (from the '#' to its last non-blank character), not decoded.
  std::string value;
  bool hex = false;
};
using DnRdn = std::vector<DnAva>;

/// The RDNs of DN text (RFC 4514, and the RFC 1779 quoted values that OU
/// chains are built with), innermost first; an empty DN has none. Nothing
/// when the text is not a DN.
std::optional<std::vector<DnRdn>> SplitDn(std::string_view text);

}  // namespace agewarden::ldap
