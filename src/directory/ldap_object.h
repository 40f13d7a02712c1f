// Directory objects bound through the backend: the root DSE, an object by
// its DN, a user, a member of a group. Each holds the values read when it
// was bound; Put records a change and SetInfo writes all recorded changes in
// one modify operation.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "directory/directory.h"
#include "directory/ldap_session.h"

namespace agewarden::ldap {

/// What every reference to one bound object shares.
struct ObjectState {
  std::string dn;    ///< empty for the root DSE
  std::string path;  ///< the ADsPath it answers
  Entry values;      ///< as read when it was bound (updated by SetInfo)
  /// Changes recorded by Put, in order; one per property.
  std::vector<std::pair<std::string, Variant>> changes;
};

/// A property of the object: the recorded change when there is one, else
/// the value read at the bind, typed by its attribute's syntax (a 32-bit
/// integer, a large integer, or text).
HRESULT GetProperty(const ObjectState& state, const std::string& property, Variant& value);
/// Records a change; nothing is written.
HRESULT PutProperty(ObjectState& state, const std::string& property, const Variant& value);
/// Writes every recorded change in one modify operation. pwdLastSet is a
/// replace; a property whose values were read at the bind is "delete the
/// values read, add the new one", so that a change made by someone else
/// since the bind makes the commit fail instead of being overwritten.
HRESULT CommitChanges(Session& session, ObjectState& state);

/// An object: the root DSE, an LDAP object, a member of a group.
class LdapObject : public AdsObject {
 public:
  LdapObject(std::shared_ptr<Session> session, std::shared_ptr<ObjectState> state);

  HRESULT GetAdsPath(std::string& path) override;
  HRESULT Get(const std::string& property, Variant& value) override;
  HRESULT Put(const std::string& property, const Variant& value) override;
  HRESULT SetInfo() override;

 private:
  std::shared_ptr<Session> session_;
  std::shared_ptr<ObjectState> state_;
};

/// The text a property value is written as.
std::string ValueText(const Variant& value);

}  // namespace agewarden::ldap
