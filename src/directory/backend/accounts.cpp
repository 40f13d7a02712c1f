#include "directory/backend/accounts.h"

#include "common/text.h"
#include "directory/backend/attributes.h"
#include "directory/backend/read_ahead.h"
#include "directory/backend/search_stream.h"
#include "directory/backend/user.h"

namespace agewarden::ldap {
namespace {

// The accounts of a search as its entries arrive.
class StreamCursor : public AccountCursor {
 public:
  StreamCursor(std::unique_ptr<SearchStream> stream, std::shared_ptr<Session> forChange)
      : stream_(std::move(stream)), forChange_(std::move(forChange)) {}
  HRESULT Next(Account& account) override {
    const HRESULT status = stream_->Next(entry_);
    if (status == S_OK) account = AccountFromEntry(std::move(entry_), forChange_);
    return status;
  }

 private:
  std::unique_ptr<SearchStream> stream_;
  std::shared_ptr<Session> forChange_;
  Entry entry_;
};

// The accounts of a search that was read ahead.
class ReadCursor : public AccountCursor {
 public:
  ReadCursor(std::vector<Entry> entries, std::shared_ptr<Session> forChange)
      : entries_(std::move(entries)), forChange_(std::move(forChange)) {}
  HRESULT Next(Account& account) override {
    if (next_ == entries_.size()) return S_ADS_NOMORE_ROWS;
    account = AccountFromEntry(std::move(entries_[next_++]), forChange_);
    return S_OK;
  }

 private:
  std::vector<Entry> entries_;
  std::shared_ptr<Session> forChange_;
  size_t next_ = 0;
};

}  // namespace

const std::vector<std::string> kAccountAttributes = {"name", "distinguishedName", "pwdLastSet", "userPrincipalName"};

Account AccountFromEntry(Entry&& entry, const std::shared_ptr<Session>& forChange) {
  Account account;
  if (forChange) account.user = UserFromEntry(forChange, entry);
  bool named = false;
  for (Attribute& attribute : entry.attributes) {
    if (attribute.values.empty()) continue;
    std::string& value = attribute.values.front();
    const std::string_view type = AttributeType(attribute.name);
    if (EqualsIgnoreAsciiCase(type, "name")) {
      account.name = std::move(value);
    } else if (EqualsIgnoreAsciiCase(type, "pwdLastSet")) {
      account.pwdLastSet = ParseLargeInteger(value);
    } else if (EqualsIgnoreAsciiCase(type, "distinguishedName")) {
      account.distinguishedName = std::move(value);
      named = true;
    } else if (EqualsIgnoreAsciiCase(type, "userPrincipalName")) {
      account.userPrincipalName = std::move(value);
    }
  }
  if (!named) account.distinguishedName = std::move(entry.dn);
  return account;
}

LdapAccountSearch::LdapAccountSearch(std::shared_ptr<Session> session, std::string baseDn, bool forChange)
    : session_(std::move(session)), baseDn_(std::move(baseDn)), attributes_(kAccountAttributes) {
  if (!forChange) return;
  forChange_ = session_;
  attributes_.insert(attributes_.end(), kUserAttributes.begin(), kUserAttributes.end());
}

LdapAccountSearch::~LdapAccountSearch() = default;

HRESULT LdapAccountSearch::Search(const std::string& filter, std::unique_ptr<AccountCursor>& out) {
  out.reset();
  std::vector<Entry> entries;
  if (readAhead_ && readAhead_->Take(filter, entries)) {
    out = std::make_unique<ReadCursor>(std::move(entries), forChange_);
    return S_OK;
  }
  // An account with a write still unanswered shows what the write left.
  session_->SettleWrites(true);
  auto stream = std::make_unique<SearchStream>(
      session_, SearchRequest{baseDn_, Scope::Subtree, filter.empty() ? "(objectClass=*)" : filter, attributes_, {}},
      forChange_ ? SearchStream::Paging::Always : SearchStream::Paging::AsConfigured);
  const HRESULT status = stream->Start();
  if (Failed(status)) return status;
  out = std::make_unique<StreamCursor>(std::move(stream), forChange_);
  return S_OK;
}

void LdapAccountSearch::ExpectUpns(const std::vector<std::string>& upns) {
  if (!readAhead_) readAhead_ = std::make_unique<ReadAhead>(session_, baseDn_, attributes_);
  readAhead_->Expect(upns);
}

}  // namespace agewarden::ldap
