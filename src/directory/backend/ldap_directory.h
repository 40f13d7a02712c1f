// The directory over LDAP: one connection and one bind per run, as the
// invoking user (on Linux with the user's own Kerberos ticket, or whatever
// SASL_MECH names; on Windows as the logged-on user).
#pragma once

#include <memory>

#include "directory/directory.h"
#include "directory/platform/connection.h"

namespace agewarden {

/// The directory over the connections `open` makes: the platform's own in
/// the program.
std::unique_ptr<Directory> CreateLdapDirectory(const LdapSettings& settings = {},
                                               ldap::ConnectionFactory open = ldap::OpenConnection);

}  // namespace agewarden
