// Groups and their members over LDAP, as the group walk and the Domain
// Admins check see them: each member named by the domain's NetBIOS name and
// its sAMAccountName (a principal of another forest by its SID text), and
// known to the backend by its DN.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "directory/directory.h"
#include "directory/backend/domain.h"

namespace agewarden::ldap {

/// The group `name` of the directory's own domain `domain`:
/// E_ADS_NO_SUCH_OBJECT for another domain or no such account,
/// E_NOINTERFACE for an account that is no group.
HRESULT OpenGroupByName(const std::shared_ptr<Domain>& domain, const std::string& domainName, const std::string& name,
                        std::unique_ptr<Group>& out);

/// The group whose DN is `dn` (a member's reference).
HRESULT OpenGroupByDn(const std::shared_ptr<Domain>& domain, const std::string& dn, std::unique_ptr<Group>& out);

/// The values of a group's `member` attribute, read with ranged retrieval
/// ("member;range=0-*", then on from where the server stopped, or in steps
/// of memberRangeStep when that is set).
HRESULT ReadMemberValues(const std::shared_ptr<Session>& session, const std::string& groupDn, std::vector<std::string>& members);

}  // namespace agewarden::ldap
