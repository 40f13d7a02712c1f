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
  /// The value with its escapes and quotes undone; a "#" hex value not
  /// decoded but as '#' and its hex digits in upper case ("#0402486A").
  std::string value;
  bool hex = false;
};
using DnRdn = std::vector<DnAva>;

/// The RDNs of DN text, innermost first; an empty DN has none. Nothing when
/// the text is not a DN. Both builds take what libldap's LDAP format takes:
/// RFC 4514, with ';' as a separator too, blanks around '=' and RFC 1779
/// quoted values (the OU chains are built with those).
std::optional<std::vector<DnRdn>> SplitDn(std::string_view text);

}  // namespace agewarden::ldap
