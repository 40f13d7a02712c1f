#include "directory/backend/user.h"

#include "directory/backend/attributes.h"
#include "directory/platform/status.h"

namespace agewarden::ldap {
namespace {

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
  // add the new one", so that a change someone else made since the row was
  // read makes the whole modify fail instead of being overwritten.
  void ForceChange(int32_t userAccountControl, std::function<void(HRESULT)> done) override {
    if (control_.empty()) return done(E_ADS_PROPERTY_NOT_FOUND);
    session_->Modify(dn_,
                     {{Modification::Op::Replace, "pwdLastSet", {"0"}},
                      {Modification::Op::Delete, "userAccountControl", control_},
                      {Modification::Op::Add, "userAccountControl", {std::to_string(userAccountControl)}}},
                     std::move(done));
  }

 private:
  std::shared_ptr<Session> session_;
  std::string dn_;
  // userAccountControl as read.
  std::vector<std::string> control_;
};

}  // namespace

const std::vector<std::string> kUserAttributes = {"objectClass", "userAccountControl"};

std::unique_ptr<UserAccount> UserFromEntry(const std::shared_ptr<Session>& session, const Entry& entry) {
  if (!entry.HasClass("user")) return nullptr;
  const Attribute* control = entry.Find("userAccountControl");
  return std::make_unique<LdapUser>(session, entry.dn, control != nullptr ? control->values : std::vector<std::string>{});
}

}  // namespace agewarden::ldap
