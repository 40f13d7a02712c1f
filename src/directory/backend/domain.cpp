#include "directory/backend/domain.h"

#include "common/text.h"
#include "directory/backend/filter.h"
#include "directory/backend/search_stream.h"
#include "directory/platform/status.h"

namespace agewarden::ldap {
namespace {

// A Kerberos principal split at its realm: "name@REALM", the name unescaped
// ("john.doe\\@example.com@EXAMPLE.COM", an enterprise principal, has the
// name "john.doe@example.com").
struct KerberosName {
  std::string name;
  std::string realm;
};

std::optional<KerberosName> SplitPrincipal(const std::string& text) {
  KerberosName principal;
  bool escaped = false, inRealm = false;
  for (const char c : text) {
    std::string& part = inRealm ? principal.realm : principal.name;
    if (escaped) {
      part += c;
      escaped = false;
    } else if (c == '\\') {
      escaped = true;
    } else if (c == '@' && !inRealm) {
      inRealm = true;
    } else {
      part += c;
    }
  }
  if (principal.name.empty() || principal.realm.empty()) return std::nullopt;
  return principal;
}

}  // namespace

HRESULT Domain::Facts(const DomainFacts*& facts) {
  facts = nullptr;
  if (!facts_) {
    Entry root;
    const HRESULT status = ReadEntry(session_, "", {"defaultNamingContext", "configurationNamingContext"}, root);
    if (Failed(status)) return status;
    DomainFacts read;
    if (const std::string* value = root.First("defaultNamingContext")) read.defaultNamingContext = *value;
    if (const std::string* value = root.First("configurationNamingContext")) read.configurationNamingContext = *value;
    if (read.defaultNamingContext.empty()) return E_ADS_PROPERTY_NOT_FOUND;
    facts_ = std::move(read);
  }
  facts = &*facts_;
  return S_OK;
}

HRESULT Domain::NetbiosName(std::string& name) {
  const DomainFacts* facts = nullptr;
  HRESULT status = Facts(facts);
  if (Failed(status)) return status;
  if (!netbiosLooked_) {
    netbiosLooked_ = true;
    // The crossRef of the domain partition carries its NetBIOS name.
    const SearchRequest request{
        "CN=Partitions," + facts->configurationNamingContext, Scope::OneLevel,
        "(&(objectClass=crossRef)(nCName=" + EscapeFilterValue(facts->defaultNamingContext) + "))", {"nETBIOSName"}, {}};
    std::vector<Entry> entries;
    status = SearchAll(session_, request, entries, SearchStream::Paging::Never);
    for (const Entry& entry : entries) {
      const std::string* value = entry.First("nETBIOSName");
      if (value != nullptr && netbiosName_.empty()) netbiosName_ = *value;
    }
    if (Succeeded(status) && netbiosName_.empty()) status = E_ADS_NO_SUCH_OBJECT;
    netbiosStatus_ = status;
  }
  if (Failed(netbiosStatus_)) return netbiosStatus_;
  name = netbiosName_;
  return S_OK;
}

HRESULT Domain::CallerName(std::string& name) {
  const DomainFacts* facts = nullptr;
  HRESULT status = Facts(facts);
  if (Failed(status)) return status;
  const std::optional<KerberosName> principal = SplitPrincipal(session_->BoundPrincipal());
  if (!principal) return E_ADS_PROPERTY_NOT_FOUND;
  // As the KDC: the account whose userPrincipalName is the principal (an
  // enterprise principal's name is itself a UPN), else, in the domain's own
  // realm, the account whose sAMAccountName is the principal's name.
  const bool enterprise = principal->name.find('@') != std::string::npos;
  std::vector<std::string> filters = {
      "(userPrincipalName=" + EscapeFilterValue(enterprise ? principal->name : principal->name + "@" + principal->realm) +
      ")"};
  const bool ownRealm = EqualsIgnoreAsciiCase(DnsNameOfNamingContext(facts->defaultNamingContext), principal->realm);
  if (!enterprise && ownRealm) filters.push_back("(sAMAccountName=" + EscapeFilterValue(principal->name) + ")");
  for (const std::string& filter : filters) {
    Entry account;
    status = FindAccount("(&(objectClass=user)" + filter + ")", {"sAMAccountName"}, account);
    if (status == E_ADS_NO_SUCH_OBJECT) continue;
    if (Failed(status)) return status;
    if (const std::string* sam = account.First("sAMAccountName")) {
      name = *sam;
      return S_OK;
    }
  }
  return E_ADS_NO_SUCH_OBJECT;
}

HRESULT Domain::FindAccount(const std::string& filter, const std::vector<std::string>& attributes, Entry& entry) {
  const DomainFacts* facts = nullptr;
  HRESULT status = Facts(facts);
  if (Failed(status)) return status;
  std::vector<Entry> entries;
  status = SearchAll(session_, {facts->defaultNamingContext, Scope::Subtree, filter, attributes, {}}, entries);
  if (Failed(status)) return status;
  if (entries.empty()) return E_ADS_NO_SUCH_OBJECT;
  entry = std::move(entries.front());
  return S_OK;
}

HRESULT Domain::FindAccount(const std::string& domain, const std::string& name,
                            const std::vector<std::string>& attributes, Entry& entry) {
  std::string netbios;
  const HRESULT status = NetbiosName(netbios);
  if (Failed(status)) return status;
  if (!EqualsIgnoreAsciiCase(domain, netbios)) return E_ADS_NO_SUCH_OBJECT;
  return FindAccount("(sAMAccountName=" + EscapeFilterValue(name) + ")", attributes, entry);
}

}  // namespace agewarden::ldap
