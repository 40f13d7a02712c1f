// The ADSI path forms the directory interface takes: "LDAP://" + DN or
// rootDSE, and "WinNT://" + domain + "/" + account name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace agewarden::ldap {

/// What a "WinNT://DOMAIN/name[,class]" path names.
struct WinNtPath {
  std::string domain;
  std::string name;       ///< the account name
  std::string className;  ///< an optional ",group" / ",user" suffix
};

/// Nothing for any other shape: no prefix, an empty part, a name with a
/// '/', no domain part.
std::optional<WinNtPath> ParseWinNtPath(std::string_view path);

/// What an "LDAP://" path names.
struct LdapPath {
  bool rootDse = false;
  std::string dn;  ///< everything after "LDAP://" ("/" included)
};

/// "LDAP://rootDSE" or "LDAP://" + DN. Nothing for any other prefix or an
/// empty DN.
std::optional<LdapPath> ParseLdapPath(std::string_view path);

}  // namespace agewarden::ldap
