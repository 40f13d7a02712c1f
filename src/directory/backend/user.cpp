#include "directory/backend/user.h"

#include "directory/backend/attributes.h"
#include "directory/backend/search_stream.h"
#include "directory/platform/status.h"

namespace agewarden::ldap {
namespace {

// What is read of a user: the values the change needs, the value it writes
// back conditionally, and the class that makes it a user.
const std::vector<std::string> kUserAttributes = {"objectClass", "userAccountControl"};

class LdapUser : public UserAccount {
 public:
  LdapUser(std::shared_ptr<Session> session, std::string dn, std::vector<std::string> control)
      : session_(std::move(session)), dn_(std::move(dn)), control_(std::move(control)) {}

  HRESULT GetUserAccountControl(int32_t& value) const override {
    if (control_.empty()) return E_ADS_PROPERTY_NOT_FOUND;
    const auto parsed = ParseInteger32(control_.front());
    if (!parsed) return E_ADS_CANT_CONVERT_DATATYPE;
    value = *parsed;
    return S_OK;
  }

  // pwdLastSet is replaced. userAccountControl is "delete the value read,
  // add the new one", so that a change someone else made since the bind
  // makes the whole modify fail instead of being overwritten.
  HRESULT ForceChange(int32_t userAccountControl) override {
    if (control_.empty()) return E_ADS_PROPERTY_NOT_FOUND;
    return session_->Modify(dn_, {{Modification::Op::Replace, "pwdLastSet", {"0"}},
                                  {Modification::Op::Delete, "userAccountControl", control_},
                                  {Modification::Op::Add, "userAccountControl", {std::to_string(userAccountControl)}}});
  }

 private:
  std::shared_ptr<Session> session_;
  std::string dn_;
  // userAccountControl as read.
  std::vector<std::string> control_;
};

}  // namespace

HRESULT OpenUser(const std::shared_ptr<Session>& session, const std::string& dn, std::unique_ptr<UserAccount>& out) {
  out.reset();
  Entry entry;
  const HRESULT status = ReadEntry(session, dn, kUserAttributes, entry);
  if (Failed(status)) return status;
  if (!entry.HasClass("user")) return E_NOINTERFACE;
  const Attribute* control = entry.Find("userAccountControl");
  out = std::make_unique<LdapUser>(session, std::move(entry.dn),
                                   control != nullptr ? control->values : std::vector<std::string>{});
  return S_OK;
}

}  // namespace agewarden::ldap
