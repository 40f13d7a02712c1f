#include "directory/ldap_session.h"

#include "common/text.h"
#include "directory/ldap_connection.h"
#include "directory/ldap_filter.h"
#include "directory/ldap_search_stream.h"

namespace agewarden::ldap {
namespace {

// A principal split at its realm: "name@REALM", the name unescaped
// ("john.doe\\@example.com@EXAMPLE.COM", an enterprise principal, has the name
// "john.doe@example.com").
struct Principal {
  std::string name;
  std::string realm;
};

std::optional<Principal> SplitPrincipal(const std::string& text) {
  Principal principal;
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

Session::Session(const LdapSettings& settings, LdapStatistics& statistics)
    : settings_(settings), statistics_(statistics) {}

Session::~Session() { Close(); }

HRESULT Session::Open() {
  switch (state_) {
    case State::Open: return broken_ ? E_ADS_SERVER_DOWN : S_OK;
    case State::Failed: return openStatus_;
    case State::Closed: return E_ADS_SERVER_DOWN;
    case State::Idle: break;
  }
  openStatus_ = OpenConnection(settings_, statistics_, connection_);
  state_ = Succeeded(openStatus_) ? State::Open : State::Failed;
  if (Failed(openStatus_)) connection_.reset();
  ++generation_;
  return openStatus_;
}

void Session::Close() {
  connection_.reset();
  if (state_ != State::Idle) ++generation_;
  state_ = State::Closed;
  facts_.reset();
}

void Session::MarkBroken() { broken_ = true; }

HRESULT Session::Ready() {
  const HRESULT opened = Open();
  if (Failed(opened)) return opened;
  if (broken_ || !connection_) return E_ADS_SERVER_DOWN;
  return S_OK;
}

HRESULT Session::SendSearch(const SearchRequest& request, const PageRequest* page, int& msgid) {
  const HRESULT ready = Ready();
  if (Failed(ready)) return ready;
  ++statistics_.searches;
  if (page != nullptr) ++statistics_.pages;
  bool lost = false;
  const HRESULT status = connection_->Search(request, page, msgid, lost);
  if (lost) MarkBroken();
  return status;
}

HRESULT Session::Receive(int msgid, SearchMessage& message) {
  if (broken_ || !connection_) return E_ADS_SERVER_DOWN;
  const HRESULT status = connection_->Receive(msgid, message);
  // A server that stopped answering, or a connection that failed: nothing
  // is trusted to it after this.
  if (Failed(status) && message.kind == SearchMessage::Kind::Other) MarkBroken();
  return status;
}

void Session::Abandon(int msgid, uint64_t generation) {
  if (!connection_ || broken_ || generation != generation_) return;
  connection_->Abandon(msgid);
}

HRESULT Session::Modify(const std::string& dn, const std::vector<Modification>& mods) {
  const HRESULT ready = Ready();
  if (Failed(ready)) return ready;
  ++statistics_.modifies;
  // Counted whatever the outcome: a modify that fails may still have been
  // applied before the reply was lost.
  written_[LowerAscii(dn)] = ++writeCount_;
  bool lost = false;
  const HRESULT status = connection_->Modify(dn, mods, lost);
  if (lost) MarkBroken();
  return status;
}

bool Session::WrittenSince(const std::string& dn, uint64_t mark) const {
  if (writeCount_ <= mark) return false;
  const auto found = written_.find(LowerAscii(dn));
  return found != written_.end() && found->second > mark;
}

HRESULT Session::Read(const std::string& dn, const std::vector<std::string>& attributes, Entry& entry,
                      const std::string& filter) {
  std::vector<Entry> entries;
  const HRESULT status =
      SearchAll(shared_from_this(), {dn, Scope::Base, filter, attributes, {}}, entries, SearchStream::Paging::Never);
  if (Failed(status)) return status;
  if (entries.empty()) return E_ADS_NO_SUCH_OBJECT;
  entry = std::move(entries.front());
  return S_OK;
}

HRESULT Session::Facts(const DomainFacts*& facts) {
  facts = nullptr;
  const HRESULT ready = Ready();
  if (Failed(ready)) return ready;
  if (!facts_) {
    Entry root;
    const HRESULT status = Read("", {"defaultNamingContext", "configurationNamingContext"}, root);
    if (Failed(status)) return status;
    NoteRootDse(root);
    if (!facts_) return E_ADS_PROPERTY_NOT_FOUND;
  }
  facts = &*facts_;
  return S_OK;
}

void Session::NoteRootDse(const Entry& root) {
  if (facts_) return;
  DomainFacts read;
  if (const std::string* value = root.First("defaultNamingContext")) read.defaultNamingContext = *value;
  if (const std::string* value = root.First("configurationNamingContext")) read.configurationNamingContext = *value;
  if (!read.defaultNamingContext.empty()) facts_ = std::move(read);
}

HRESULT Session::NetbiosName(std::string& name) {
  const DomainFacts* facts = nullptr;
  HRESULT status = Facts(facts);
  if (Failed(status)) return status;
  if (!facts_->netbiosLooked) {
    facts_->netbiosLooked = true;
    // The crossRef of the domain partition carries its NetBIOS name.
    const SearchRequest request{
        "CN=Partitions," + facts_->configurationNamingContext, Scope::OneLevel,
        "(&(objectClass=crossRef)(nCName=" + EscapeFilterValue(facts_->defaultNamingContext) + "))", {"nETBIOSName"}, {}};
    std::vector<Entry> entries;
    status = SearchAll(shared_from_this(), request, entries, SearchStream::Paging::Never);
    for (const Entry& entry : entries) {
      const std::string* value = entry.First("nETBIOSName");
      if (value != nullptr && facts_->netbiosName.empty()) facts_->netbiosName = *value;
    }
    if (Succeeded(status) && facts_->netbiosName.empty()) status = E_ADS_NO_SUCH_OBJECT;
    facts_->netbiosStatus = status;
  }
  if (Failed(facts_->netbiosStatus)) return facts_->netbiosStatus;
  name = facts_->netbiosName;
  return S_OK;
}

HRESULT Session::CallerName(std::string& name) {
  const DomainFacts* facts = nullptr;
  HRESULT status = Facts(facts);
  if (Failed(status)) return status;
  const std::optional<Principal> principal = SplitPrincipal(connection_->BoundPrincipal());
  if (!principal) return E_ADS_PROPERTY_NOT_FOUND;
  const std::string base = facts->defaultNamingContext;
  // As the KDC: the account whose userPrincipalName is the principal (an
  // enterprise principal's name is itself a UPN), else, in the domain's own
  // realm, the account whose sAMAccountName is the principal's name.
  const bool enterprise = principal->name.find('@') != std::string::npos;
  std::vector<std::string> filters = {
      "(userPrincipalName=" + EscapeFilterValue(enterprise ? principal->name : principal->name + "@" + principal->realm) +
      ")"};
  const bool ownRealm = EqualsIgnoreAsciiCase(DnsNameOfNamingContext(base), principal->realm);
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

HRESULT Session::FindAccount(const std::string& filter, const std::vector<std::string>& attributes, Entry& entry) {
  const DomainFacts* facts = nullptr;
  HRESULT status = Facts(facts);
  if (Failed(status)) return status;
  std::vector<Entry> entries;
  status = SearchAll(shared_from_this(), {facts->defaultNamingContext, Scope::Subtree, filter, attributes, {}}, entries);
  if (Failed(status)) return status;
  if (entries.empty()) return E_ADS_NO_SUCH_OBJECT;
  entry = std::move(entries.front());
  return S_OK;
}

}  // namespace agewarden::ldap
