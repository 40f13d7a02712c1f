// Groups and their members over LDAP, named the way the WinNT provider
// names them: "WinNT://" + the domain's NetBIOS name + "/" + sAMAccountName.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "directory/directory.h"
#include "directory/ldap_paths.h"
#include "directory/ldap_session.h"

namespace agewarden::ldap {

/// The account a "WinNT://DOMAIN/name" path names, with the given
/// attributes. The domain must be the directory's own (its NetBIOS name,
/// ignoring ASCII case).
HRESULT FindAccount(const std::shared_ptr<Session>& session, const WinNtPath& path,
                    const std::vector<std::string>& attributes, Entry& entry);

/// Binds the group a "WinNT://DOMAIN/name" path names. A path of any other
/// shape fails with E_ADS_BAD_PATHNAME, one that names no group with
/// E_ADS_NO_SUCH_OBJECT, one that names an account that is not a group with
/// E_NOINTERFACE.
HRESULT BindGroup(const std::shared_ptr<Session>& session, const std::string& path, std::unique_ptr<AdsGroup>& out);

/// The values of a group's `member` attribute, read with ranged retrieval
/// ("member;range=0-*", then on from where the server stopped, or in steps
/// of memberRangeStep when that is set).
HRESULT ReadMemberValues(Session& session, const std::string& groupDn, std::vector<std::string>& members);

}  // namespace agewarden::ldap
