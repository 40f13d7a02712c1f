// A user account bound for the forced password change: the values read at
// the bind, and the change written in one modify operation.
#pragma once

#include <memory>
#include <string>

#include "directory/directory.h"
#include "directory/backend/session.h"

namespace agewarden::ldap {

/// Reads the user `dn` (a DN that names nothing fails, E_NOINTERFACE for an
/// object that is no user).
HRESULT OpenUser(const std::shared_ptr<Session>& session, const std::string& dn, std::unique_ptr<UserAccount>& out);

}  // namespace agewarden::ldap
