#include "directory/backend/ldap_directory.h"

#include "directory/backend/accounts.h"
#include "directory/backend/domain.h"
#include "directory/backend/group.h"
#include "directory/backend/search_stream.h"
#include "directory/platform/status.h"

namespace agewarden {
namespace {

using ldap::Domain;
using ldap::Entry;
using ldap::Session;

class LdapDirectory : public Directory {
 public:
  LdapDirectory(const LdapSettings& settings, ldap::ConnectionFactory open)
      : settings_(settings), open_(std::move(open)) {}
  ~LdapDirectory() override { Stop(); }

  void Start() override {
    // Nothing is sent until an operation needs the server.
    if (!domain_) domain_ = std::make_shared<Domain>(std::make_shared<Session>(settings_, open_));
  }

  void Stop() override {
    if (domain_) domain_->session()->Close();
    domain_.reset();
  }

  HRESULT ReadNamingContext(std::optional<std::string>& namingContext) override {
    namingContext.reset();
    const ldap::DomainFacts* facts = nullptr;
    const HRESULT status = domain()->Facts(facts);
    if (status == E_ADS_PROPERTY_NOT_FOUND) return S_OK;  // a root DSE without one
    if (Failed(status)) return status;
    namingContext = facts->defaultNamingContext;
    return S_OK;
  }

  HRESULT OpenContainer(const std::string& dn, bool forChange, std::unique_ptr<AccountSearch>& out) override {
    out.reset();
    // The container is read first: a DN that names nothing fails here.
    Entry container;
    const HRESULT status = ldap::ReadEntry(domain()->session(), dn, {ldap::kNoAttributes}, container);
    if (Failed(status)) return status;
    out = std::make_unique<ldap::LdapAccountSearch>(domain_->session(), dn, forChange);
    return S_OK;
  }

  HRESULT OpenGroup(const std::string& domainName, const std::string& name, std::unique_ptr<Group>& out) override {
    return ldap::OpenGroupByName(domain(), domainName, name, out);
  }

  HRESULT OpenGroup(const Principal& member, std::unique_ptr<Group>& out) override {
    out.reset();
    if (!member.IsGroup()) return E_NOINTERFACE;
    return ldap::OpenGroupByDn(domain(), *member.reference, out);
  }

  void FinishWrites() override {
    if (domain_) domain_->session()->SettleWrites(true);
  }

  HRESULT GetDomainName(std::string& name) override { return domain()->NetbiosName(name); }
  HRESULT GetCallerName(std::string& name) override { return domain()->CallerName(name); }

 private:
  const std::shared_ptr<Domain>& domain() {
    Start();
    return domain_;
  }

  const LdapSettings settings_;
  const ldap::ConnectionFactory open_;
  std::shared_ptr<Domain> domain_;
};

}  // namespace

std::unique_ptr<Directory> CreateLdapDirectory(const LdapSettings& settings, ldap::ConnectionFactory open) {
  return std::make_unique<LdapDirectory>(settings, std::move(open));
}

}  // namespace agewarden
