#include "directory/ldap_locate.h"

#include <dirent.h>
#include <ldap.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "directory/ldap_handles.h"
#include "directory/ldap_parse.h"

namespace agewarden::ldap {
namespace {

constexpr size_t kMaxConfigBytes = 1 << 20;
constexpr int kMaxIncludeDepth = 8;

bool NonEmptyEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

bool ReadSmallFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.clear();
  char buffer[4096];
  while (in && text.size() < kMaxConfigBytes) {
    in.read(buffer, sizeof buffer);
    text.append(buffer, static_cast<size_t>(in.gcount()));
  }
  return true;
}

// MIT krb5 reads from an include directory only the files whose names are
// made of letters, digits, '-' and '_', or end in ".conf".
bool IncludableName(std::string_view name) {
  if (name.size() > 5 && name.substr(name.size() - 5) == ".conf") return true;
  if (name.empty()) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::optional<std::string> RealmFromFile(const std::string& path, int depth);

std::optional<std::string> RealmFromDirectory(const std::string& directory, int depth) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return std::nullopt;
  std::vector<std::string> names;
  while (const dirent* item = readdir(dir)) {
    if (IncludableName(item->d_name)) names.emplace_back(item->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (auto realm = RealmFromFile(directory + "/" + name, depth + 1)) return realm;
  }
  return std::nullopt;
}

std::optional<std::string> RealmFromFile(const std::string& path, int depth) {
  if (depth > kMaxIncludeDepth) return std::nullopt;
  std::string text;
  if (!ReadSmallFile(path, text)) return std::nullopt;
  const Krb5ConfigScan scan = ScanKrb5Config(text);
  if (scan.defaultRealm) return scan.defaultRealm;
  for (const std::string& include : scan.includes) {
    if (auto realm = RealmFromFile(include, depth + 1)) return realm;
  }
  for (const std::string& directory : scan.includeDirs) {
    if (auto realm = RealmFromDirectory(directory, depth)) return realm;
  }
  return std::nullopt;
}

}  // namespace

bool ServerConfigured() {
  // libldap's global options already hold ldap.conf, ldaprc and the LDAP*
  // environment. When none of them names a server, its URI option reads back
  // as the built-in default, which it parsed with a base scope of its own:
  // "ldap://localhost:389/??base". A URI or HOST that an administrator
  // configures (ldap://localhost included) reads back without that scope.
  if (NonEmptyEnvironment("LDAPURI") || NonEmptyEnvironment("LDAPHOST")) return true;
  char* raw = nullptr;
  if (ldap_get_option(nullptr, LDAP_OPT_URI, &raw) != LDAP_OPT_SUCCESS) return true;
  const LdapString uri(raw);
  if (uri == nullptr || *uri == '\0') return false;
  const std::string_view text(uri.get());
  return text != "ldap://localhost:389/??base" && text != "ldap://localhost/??base";
}

std::string KerberosDefaultRealm() {
  const char* configured = std::getenv("KRB5_CONFIG");
  std::string list = configured != nullptr && *configured != '\0' ? configured : "/etc/krb5.conf";
  std::stringstream files(list);
  std::string file;
  while (std::getline(files, file, ':')) {
    if (file.empty()) continue;
    if (auto realm = RealmFromFile(file, 0)) return *realm;
  }
  return {};
}

std::string ServerUris() {
  if (ServerConfigured()) return {};
  const std::string realm = KerberosDefaultRealm();
  if (realm.empty()) return {};
  const std::string domain = LowerAscii(realm);
  char* raw = nullptr;
  if (ldap_domain2hostlist(domain.c_str(), &raw) != LDAP_SUCCESS) {
    if (raw != nullptr) ldap_memfree(raw);
    return {};
  }
  const LdapString hosts(raw);
  return hosts ? HostListToUris(hosts.get()) : std::string();
}

}  // namespace agewarden::ldap
