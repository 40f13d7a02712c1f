// The wire under a Session: one connection to the server through the
// platform's LDAP library (libldap with SASL on Linux, Wldap32 on Windows),
// bound as the invoking user. Each platform has its own file; everything
// above it is shared.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "directory/ldap_directory.h"
#include "directory/ldap_session.h"

namespace agewarden::ldap {

class Connection {
 public:
  virtual ~Connection() = default;
  /// Sends a search. `lost` is set when the connection is gone.
  virtual HRESULT Search(const SearchRequest& request, const PageRequest* page, int& msgid, bool& lost) = 0;
  /// The next message of `msgid`, within the operation time-out; a wait
  /// that times out abandons the operation and fails with E_ADS_TIMEOUT.
  /// Any failure leaves the connection unusable.
  virtual HRESULT Receive(int msgid, SearchMessage& message) = 0;
  virtual void Abandon(int msgid) = 0;
  virtual HRESULT Modify(const std::string& dn, const std::vector<Modification>& mods, bool& lost) = 0;
  /// The principal the bind authenticated as ("name@REALM"); empty when it
  /// cannot be told.
  virtual std::string BoundPrincipal() = 0;
};

/// Connects to the configured (or located) server and binds as the invoking
/// user. A connection that nothing protects (no security layer, no TLS, not
/// local) is refused with E_ADS_CONFIDENTIALITY_REQUIRED.
HRESULT OpenConnection(const LdapSettings& settings, LdapStatistics& statistics, std::unique_ptr<Connection>& out);

}  // namespace agewarden::ldap
