// A user account bound for the forced password change: the values its search
// row returned, and the change written in one modify operation.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "directory/directory.h"
#include "directory/backend/session.h"

namespace agewarden::ldap {

/// What an account search asks for besides the report's values when its
/// accounts are bound for the change: the class that makes an entry a user,
/// and the value the change writes back conditionally.
extern const std::vector<std::string> kUserAttributes;

/// The user of `entry` (its DN and userAccountControl), or nothing when the
/// entry is not of class user.
std::unique_ptr<UserAccount> UserFromEntry(const std::shared_ptr<Session>& session, const Entry& entry);

}  // namespace agewarden::ldap
