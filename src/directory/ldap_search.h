// IDirectorySearch over LDAP: a search object bound to a container and the
// handle of one executed search, which streams its rows.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "directory/directory.h"
#include "directory/ldap_read_ahead.h"
#include "directory/ldap_search_stream.h"
#include "directory/ldap_session.h"

namespace agewarden::ldap {

class LdapDirectorySearch : public DirectorySearch {
 public:
  LdapDirectorySearch(std::shared_ptr<Session> session, std::string baseDn);

  HRESULT SetSearchPreference(SearchScope scope) override;
  HRESULT ExecuteSearch(const std::string& filter, const std::vector<std::string>& attributes,
                        std::unique_ptr<SearchHandle>& handle) override;
  void ExpectSearches(const std::vector<std::string>& filters) override;

 private:
  std::shared_ptr<Session> session_;
  std::string baseDn_;
  std::unique_ptr<ReadAhead> readAhead_;
};

}  // namespace agewarden::ldap
