#include "directory/platform/locate_posix.h"

#include <krb5.h>
#include <ldap.h>

#include <cstdlib>
#include <string_view>

#include "common/text.h"
#include "directory/platform/handles_posix.h"

namespace agewarden::ldap {
namespace {

bool NonEmptyEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

bool ServerConfigured() {
  // libldap's global options already hold ldap.conf, ldaprc and the LDAP*
  // environment, but no public call tells a configured URI from the built-in
  // default (LDAP_OPT_HOST_NAME reads back "localhost:389" for both). The
  // default is parsed as a host list, which gives it a base scope:
  // "ldap://localhost:389/??base"; a URI that an administrator configures
  // (ldap://localhost included) reads back without that scope.
  if (NonEmptyEnvironment("LDAPURI") || NonEmptyEnvironment("LDAPHOST")) return true;
  char* raw = nullptr;
  if (ldap_get_option(nullptr, LDAP_OPT_URI, &raw) != LDAP_OPT_SUCCESS) return true;
  const LdapString uri(raw);
  if (uri == nullptr || *uri == '\0') return false;
  const std::string_view text(uri.get());
  return text != "ldap://localhost:389/??base" && text != "ldap://localhost/??base";
}

std::string KerberosDefaultRealm() {
  krb5_context context = nullptr;
  if (krb5_init_context(&context) != 0) return {};
  std::string realm;
  char* raw = nullptr;
  if (krb5_get_default_realm(context, &raw) == 0 && raw != nullptr) {
    realm = raw;
    krb5_free_default_realm(context, raw);
  }
  krb5_free_context(context);
  return realm;
}

std::string ServerHosts() {
  if (ServerConfigured()) return {};
  const std::string realm = KerberosDefaultRealm();
  if (realm.empty()) return {};
  char* raw = nullptr;
  const int rc = ldap_domain2hostlist(LowerAscii(realm).c_str(), &raw);
  const LdapString hosts(raw);
  return rc == LDAP_SUCCESS && hosts ? std::string(hosts.get()) : std::string();
}

}  // namespace agewarden::ldap
