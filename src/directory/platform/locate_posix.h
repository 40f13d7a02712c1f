// Where the directory server is: the URI that ldap.conf(5) and its
// environment forms configure, or else the domain controllers that DNS
// lists for the domain of the Kerberos default realm.
#pragma once

#include <string>

namespace agewarden::ldap {

/// True when libldap's configuration (ldap.conf, LDAPCONF, LDAPRC, LDAPURI,
/// LDAPHOST...) names a server, as opposed to its built-in default of
/// ldap://localhost.
bool ServerConfigured();

/// The default realm of the Kerberos configuration (KRB5_CONFIG or
/// /etc/krb5.conf, as the Kerberos library reads it); empty when none is set.
std::string KerberosDefaultRealm();

/// The hosts to give a handle as LDAP_OPT_HOST_NAME: empty when the
/// configuration names a server (libldap then uses it) or when DNS knows no
/// server either (libldap then uses its default); otherwise
/// "host:port host:port" from the SRV records of _ldap._tcp.<domain of the
/// default realm>, as ldap_domain2hostlist gives them.
std::string ServerHosts();

}  // namespace agewarden::ldap
