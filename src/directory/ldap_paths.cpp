#include "directory/ldap_paths.h"

#include "common/text.h"

namespace agewarden::ldap {

std::optional<WinNtPath> ParseWinNtPath(std::string_view path) {
  constexpr std::string_view kPrefix = "WinNT://";
  if (path.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  const std::string_view rest = path.substr(kPrefix.size());
  const size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view domain = rest.substr(0, slash);
  std::string_view name = rest.substr(slash + 1);
  if (domain.empty() || name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
  WinNtPath parsed;
  const size_t comma = name.find(',');
  if (comma != std::string_view::npos) {
    parsed.className.assign(name.substr(comma + 1));
    name = name.substr(0, comma);
    if (name.empty() || parsed.className.empty()) return std::nullopt;
  }
  parsed.domain.assign(domain);
  parsed.name.assign(name);
  return parsed;
}

std::optional<LdapPath> ParseLdapPath(std::string_view path) {
  constexpr std::string_view kPrefix = "LDAP://";
  if (path.substr(0, kPrefix.size()) != kPrefix || path.size() == kPrefix.size()) return std::nullopt;
  LdapPath parsed;
  parsed.rootDse = EqualsIgnoreAsciiCase(path.substr(kPrefix.size()), "rootDSE");
  if (!parsed.rootDse) parsed.dn.assign(path.substr(kPrefix.size()));
  return parsed;
}

}  // namespace agewarden::ldap
