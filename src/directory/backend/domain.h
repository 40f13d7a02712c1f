// The directory's own domain as the backend needs it, read once per
// session: the naming contexts of the root DSE, the NetBIOS name of the
// domain's crossRef, and the accounts below the domain's root.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "directory/backend/session.h"

namespace agewarden::ldap {

/// The root DSE's naming contexts.
struct DomainFacts {
  std::string defaultNamingContext;
  std::string configurationNamingContext;
};

class Domain {
 public:
  explicit Domain(std::shared_ptr<Session> session) : session_(std::move(session)) {}

  const std::shared_ptr<Session>& session() const { return session_; }

  /// The root DSE's naming contexts; binds first when needed.
  /// E_ADS_PROPERTY_NOT_FOUND when the root DSE has no defaultNamingContext.
  HRESULT Facts(const DomainFacts*& facts);
  /// The NetBIOS name of the directory's own domain.
  HRESULT NetbiosName(std::string& name);
  /// The sAMAccountName of the account the bind authenticated as, found as
  /// a KDC finds the account of a client principal.
  HRESULT CallerName(std::string& name);
  /// The first object below the default naming context that `filter`
  /// matches, with the given attributes; E_ADS_NO_SUCH_OBJECT when none.
  HRESULT FindAccount(const std::string& filter, const std::vector<std::string>& attributes, Entry& entry);
  /// The account `name` (a sAMAccountName) of the domain `domain`, which
  /// must be the directory's own (its NetBIOS name, ignoring ASCII case).
  HRESULT FindAccount(const std::string& domain, const std::string& name, const std::vector<std::string>& attributes,
                      Entry& entry);

 private:
  std::shared_ptr<Session> session_;
  std::optional<DomainFacts> facts_;
  bool netbiosLooked_ = false;
  HRESULT netbiosStatus_ = S_OK;
  std::string netbiosName_;
};

}  // namespace agewarden::ldap
