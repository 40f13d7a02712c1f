// Assertion values escaped for search filters (RFC 4515).
//
// libldap's ldap_bv2escaped_filter_value also escapes every non-ASCII byte
// and writes upper-case hex: the filters this backend sends keep UTF-8 as it
// is and write lower-case hex, so these stay.
#pragma once

#include <string>
#include <string_view>

namespace agewarden::ldap {

/// '*', '(', ')', '\' and NUL become \2a, \28, \29, \5c, \00; other bytes stay.
std::string EscapeFilterValue(std::string_view value);

/// Every byte escaped as \xx: for binary assertion values such as objectSid.
std::string EscapeFilterBytes(std::string_view bytes);

}  // namespace agewarden::ldap
