#include "directory/ldap_directory.h"

#include "directory/ldap_accounts.h"
#include "directory/ldap_group.h"
#include "directory/ldap_session.h"
#include "directory/ldap_user.h"

namespace agewarden {
namespace {

using ldap::Entry;
using ldap::Session;

class LdapDirectoryImpl : public LdapDirectory {
 public:
  explicit LdapDirectoryImpl(const LdapSettings& settings) : settings_(settings) {}
  ~LdapDirectoryImpl() override { Stop(); }

  void Start() override {
    // Nothing is sent until an operation needs the server.
    if (!session_) session_ = std::make_shared<Session>(settings_, statistics_);
  }

  void Stop() override {
    if (session_) session_->Close();
    session_.reset();
  }

  const LdapStatistics& Statistics() const override { return statistics_; }

  HRESULT ReadNamingContext(std::optional<std::string>& namingContext) override {
    namingContext.reset();
    const ldap::DomainFacts* facts = nullptr;
    const HRESULT status = session()->Facts(facts);
    if (status == E_ADS_PROPERTY_NOT_FOUND) return S_OK;  // a root DSE without one
    if (Failed(status)) return status;
    namingContext = facts->defaultNamingContext;
    return S_OK;
  }

  HRESULT OpenContainer(const std::string& dn, std::unique_ptr<AccountSearch>& out) override {
    out.reset();
    // The container is read first: a DN that names nothing fails here.
    Entry container;
    const HRESULT status = session()->Read(dn, {ldap::kNoAttributes}, container);
    if (Failed(status)) return status;
    out = std::make_unique<ldap::LdapAccountSearch>(session_, dn);
    return S_OK;
  }

  HRESULT OpenGroup(const std::string& domain, const std::string& name, std::unique_ptr<Group>& out) override {
    return ldap::OpenGroupByName(session(), domain, name, out);
  }

  HRESULT OpenGroup(const Principal& member, std::unique_ptr<Group>& out) override {
    out.reset();
    if (!member.isGroup || member.reference.empty()) return E_NOINTERFACE;
    return ldap::OpenGroupByDn(session(), member.reference, out);
  }

  HRESULT OpenUser(const std::string& dn, std::unique_ptr<UserAccount>& out) override {
    return ldap::OpenUser(session(), dn, out);
  }

  HRESULT GetDomainName(std::string& name) override { return session()->NetbiosName(name); }
  HRESULT GetCallerName(std::string& name) override { return session()->CallerName(name); }

 private:
  const std::shared_ptr<Session>& session() {
    Start();
    return session_;
  }

  const LdapSettings settings_;
  LdapStatistics statistics_;
  std::shared_ptr<Session> session_;
};

}  // namespace

std::unique_ptr<LdapDirectory> CreateLdapDirectory(const LdapSettings& settings) {
  return std::make_unique<LdapDirectoryImpl>(settings);
}

}  // namespace agewarden
