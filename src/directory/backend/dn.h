// What the backend reads out of the DNs a server sends. Each platform splits
// the text (platform/dn_split.h); these only pick out what the backend
// needs. Text that is not a DN (an unescaped '"' or '<' in a value, a type
// that is neither a name nor an OID) names nothing: AD and Samba escape such
// characters in every DN they send.
#pragma once

#include <string>
#include <string_view>

namespace agewarden::ldap {

/// The value of the first RDN ("Slash/User" for "CN=Slash/User,OU=Staff,...";
/// of a multi-valued RDN, its first value); empty when the text is not a DN.
/// A "#" hex value is given as '#' and its hex digits in upper case.
std::string FirstRdnValue(std::string_view dn);

/// The NetBIOS-style name of a DN's domain: the first non-empty DC= value up
/// to its first '.', in ASCII upper case ("AGEWARDEN" for
/// "...,DC=agewarden,DC=lab"); empty when there is none.
std::string DomainLabelOfDn(std::string_view dn);

/// True when `dn` is `suffix` or lies below it: its last RDNs are those of
/// `suffix`, types and values compared ignoring ASCII case. An empty suffix
/// holds everything; text that is not a DN lies within nothing else.
bool DnIsWithin(std::string_view dn, std::string_view suffix);

}  // namespace agewarden::ldap
