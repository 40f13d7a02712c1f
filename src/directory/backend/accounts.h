// Account searches below a container over LDAP: each entry becomes an
// Account as it arrives; searches announced ahead are asked for many names
// at a time (see read_ahead.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "directory/directory.h"
#include "directory/backend/session.h"

namespace agewarden::ldap {

class ReadAhead;

/// What an account search asks of each entry.
extern const std::vector<std::string> kAccountAttributes;

/// The report's values of an entry, moved out of it: the distinguishedName
/// attribute or else the entry's DN; pwdLastSet when it is decimal text.
/// With `forChange`, the user bound for the change (user.h) too.
Account AccountFromEntry(Entry&& entry, const std::shared_ptr<Session>& forChange);

class LdapAccountSearch : public AccountSearch {
 public:
  /// With `forChange`, each account comes bound for the forced change, and
  /// searches are paged: Samba answers a write sent during a search only
  /// after the search's (or page's) last entry, which the client library
  /// would hold meanwhile.
  LdapAccountSearch(std::shared_ptr<Session> session, std::string baseDn, bool forChange);
  ~LdapAccountSearch() override;

  HRESULT Search(const std::string& filter, std::unique_ptr<AccountCursor>& out) override;
  void ExpectUpns(const std::vector<std::string>& upns) override;

 private:
  std::shared_ptr<Session> session_;
  std::string baseDn_;
  std::shared_ptr<Session> forChange_;  // the session when accounts are bound for the change
  std::vector<std::string> attributes_;
  std::unique_ptr<ReadAhead> readAhead_;
};

}  // namespace agewarden::ldap
