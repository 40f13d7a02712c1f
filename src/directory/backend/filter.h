// Assertion values escaped for search filters (RFC 4515): the DNs and
// sAMAccountNames the backend looks up itself.
//
// libldap's ldap_bv2escaped_filter_value also escapes every non-ASCII byte
// and writes upper-case hex, and Wldap32 has no such call: one small escaper
// serves both, keeping UTF-8 as it is and writing lower-case hex.
#pragma once

#include <string>
#include <string_view>

namespace agewarden::ldap {

/// '*', '(', ')', '\' and NUL become \2a, \28, \29, \5c, \00; other bytes stay.
std::string EscapeFilterValue(std::string_view value);

}  // namespace agewarden::ldap
