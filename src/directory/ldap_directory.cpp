#include "directory/ldap_directory.h"

#include "directory/ldap_group.h"
#include "directory/ldap_object.h"
#include "directory/ldap_paths.h"
#include "directory/ldap_search.h"
#include "directory/ldap_session.h"

namespace agewarden {
namespace {

using ldap::Entry;
using ldap::LdapObject;
using ldap::ObjectState;
using ldap::ParseLdapPath;
using ldap::Session;

// What GetUser reads of a user: enough to answer Get for the properties the
// tool changes, and to write them back conditionally.
const std::vector<std::string> kUserAttributes = {
    "objectClass", "userAccountControl", "pwdLastSet", "sAMAccountName", "userPrincipalName", "name",
};

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

  HRESULT OpenObject(const std::string& path, std::unique_ptr<AdsObject>& out) override {
    out.reset();
    const auto parsed = ParseLdapPath(path);
    if (!parsed) return E_ADS_BAD_PATHNAME;
    auto state = std::make_shared<ObjectState>();
    state->path = path;
    state->dn = parsed->dn;
    // An object is read when it is bound: a DN that names nothing fails here.
    const HRESULT status = session()->Read(state->dn, {}, state->values);
    if (Failed(status)) return status;
    if (parsed->rootDse) session_->NoteRootDse(state->values);
    out = std::make_unique<LdapObject>(session_, std::move(state));
    return S_OK;
  }

  HRESULT OpenSearch(const std::string& path, std::unique_ptr<DirectorySearch>& out) override {
    out.reset();
    const auto parsed = ParseLdapPath(path);
    if (!parsed) return E_ADS_BAD_PATHNAME;
    const std::string dn = parsed->rootDse ? std::string() : parsed->dn;
    Entry container;
    const HRESULT status = session()->Read(dn, {LDAP_NO_ATTRS}, container);
    if (Failed(status)) return status;
    out = std::make_unique<ldap::LdapDirectorySearch>(session_, dn);
    return S_OK;
  }

  HRESULT GetGroup(const std::string& path, std::unique_ptr<AdsGroup>& out) override {
    return ldap::BindGroup(session(), path, out);
  }

  HRESULT GetUser(const std::string& path, std::unique_ptr<AdsObject>& out) override {
    out.reset();
    const auto parsed = ParseLdapPath(path);
    if (!parsed || parsed->rootDse) return E_ADS_BAD_PATHNAME;
    auto state = std::make_shared<ObjectState>();
    state->path = path;
    state->dn = parsed->dn;
    const HRESULT status = session()->Read(state->dn, kUserAttributes, state->values);
    if (Failed(status)) return status;
    if (!state->values.HasClass("user")) return E_NOINTERFACE;
    out = std::make_unique<LdapObject>(session_, std::move(state));
    return S_OK;
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
