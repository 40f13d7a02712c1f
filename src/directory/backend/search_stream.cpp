#include "directory/backend/search_stream.h"

#include <algorithm>
#include <cstring>

#include "common/text.h"
#include "directory/platform/status.h"

namespace agewarden::ldap {
namespace {

constexpr std::string_view kGuid = "objectGUID";

bool AsksFor(const std::vector<std::string>& attributes, std::string_view name) {
  for (const std::string& attribute : attributes) {
    if (EqualsIgnoreAsciiCase(AttributeType(attribute), name) || attribute == "*") return true;
  }
  return false;
}

bool GuidOf(const Entry& entry, std::array<char, 16>& guid) {
  const std::string* value = entry.First(kGuid);
  if (value == nullptr || value->size() != guid.size()) return false;
  std::memcpy(guid.data(), value->data(), guid.size());
  return true;
}

}  // namespace

SearchStream::SearchStream(std::shared_ptr<Session> session, SearchRequest request, Paging paging)
    : session_(std::move(session)), request_(std::move(request)) {
  if (paging == Paging::AsConfigured && session_) {
    alwaysPage_ = session_->Settings().alwaysPage;
    continuePaged_ = !alwaysPage_;
  }
  if (paging == Paging::Always) alwaysPage_ = true;
  // The unpaged phase records what it hands out, to skip it if the search
  // has to go on paged. An empty list already returns every attribute.
  if (continuePaged_ && !request_.attributes.empty() && !AsksFor(request_.attributes, kGuid)) {
    request_.attributes.emplace_back(kGuid);
  }
}

SearchStream::~SearchStream() {
  if (active_ && session_) session_->Abandon(msgid_, generation_);
}

HRESULT SearchStream::Fail(HRESULT status) {
  if (active_ && session_) session_->Abandon(msgid_, generation_);
  active_ = false;
  phase_ = Phase::Failed;
  failure_ = Failed(status) ? status : E_FAIL;
  Forget();
  return failure_;
}

HRESULT SearchStream::Send(const PageRequest* page) {
  const HRESULT status = session_->SendSearch(request_, page, msgid_);
  if (Failed(status)) return status;
  active_ = true;
  generation_ = session_->Generation();
  return S_OK;
}

HRESULT SearchStream::SendPage() {
  const PageRequest page{session_->Settings().pageSize, cookie_};
  return Send(&page);
}

HRESULT SearchStream::GoOnPaged() {
  // Cut by a limit: the rest comes paged, from the start, without what the
  // unpaged phase handed out already.
  phase_ = Phase::Paged;
  skipSeen_ = true;
  std::sort(seenGuids_.begin(), seenGuids_.end());
  cookie_.clear();
  return SendPage();
}

HRESULT SearchStream::Start() {
  if (phase_ != Phase::NotStarted) return phase_ == Phase::Failed ? failure_ : S_OK;
  if (!session_) return Fail(E_POINTER);
  const HRESULT status = alwaysPage_ ? SendPage() : Send(nullptr);
  if (Failed(status)) return Fail(status);
  phase_ = alwaysPage_ ? Phase::Paged : Phase::Unpaged;
  return S_OK;
}

void SearchStream::Remember(const Entry& entry) {
  std::array<char, 16> guid;
  if (GuidOf(entry, guid)) {
    seenGuids_.push_back(guid);
  } else {
    // A server without objectGUID: the DN is the next best identity.
    seenDns_.insert(LowerAscii(entry.dn));
  }
}

bool SearchStream::HandedOut(const Entry& entry) const {
  std::array<char, 16> guid;
  if (GuidOf(entry, guid)) return std::binary_search(seenGuids_.begin(), seenGuids_.end(), guid);
  return seenDns_.count(LowerAscii(entry.dn)) > 0;
}

void SearchStream::Forget() {
  seenGuids_.clear();
  seenGuids_.shrink_to_fit();
  seenDns_.clear();
}

// The result that ends one request: done, the next page, the paged
// continuation of a cut unpaged search, or a failure.
HRESULT SearchStream::Ended(const SearchMessage& message) {
  active_ = false;
  const int code = message.code;
  const bool cut = code == kResultSizeLimitExceeded || code == kResultAdminLimitExceeded;
  if (phase_ == Phase::Unpaged && continuePaged_ && cut) return GoOnPaged();
  if (code != kResultSuccess) return StatusFromLdapResult(code);
  if (phase_ != Phase::Paged || message.cookie.empty()) {
    phase_ = Phase::Done;
    Forget();
    return S_OK;
  }
  // The cookie may well be the same for every page (Samba's names the
  // result set, not the position in it): only an empty one ends the search.
  cookie_ = message.cookie;
  return SendPage();
}

HRESULT SearchStream::Next(Entry& entry) {
  if (phase_ == Phase::NotStarted) {
    const HRESULT started = Start();
    if (Failed(started)) return started;
  }
  while (true) {
    if (phase_ == Phase::Done) return S_ADS_NOMORE_ROWS;
    if (phase_ == Phase::Failed) return failure_;

    SearchMessage message;
    HRESULT status = session_->Receive(msgid_, message);
    if (Failed(status)) {
      // Receive has abandoned it, or the connection is gone, or the message
      // could not be read: the search ends here.
      if (message.kind == SearchMessage::Kind::Other || message.kind == SearchMessage::Kind::Result) active_ = false;
      return Fail(status);
    }
    switch (message.kind) {
      case SearchMessage::Kind::Entry: {
        Entry& next = message.entry;
        if (phase_ == Phase::Unpaged && continuePaged_) {
          Remember(next);
        } else if (skipSeen_ && HandedOut(next)) {
          continue;  // handed out by the unpaged phase already
        }
        entry = std::move(next);
        return S_OK;
      }
      case SearchMessage::Kind::Result:
        status = Ended(message);
        if (Failed(status)) return Fail(status);
        break;
      case SearchMessage::Kind::Other:
        break;  // continuation references are not rows
    }
  }
}

HRESULT SearchAll(const std::shared_ptr<Session>& session, const SearchRequest& request, std::vector<Entry>& entries,
                  SearchStream::Paging paging) {
  entries.clear();
  SearchStream stream(session, request, paging);
  return ForEachEntry(stream, [&](Entry& entry) { entries.push_back(std::move(entry)); });
}

}  // namespace agewarden::ldap

namespace agewarden::ldap {

HRESULT ReadEntry(const std::shared_ptr<Session>& session, const std::string& dn,
                  const std::vector<std::string>& attributes, Entry& entry, const std::string& filter) {
  std::vector<Entry> entries;
  const HRESULT status = SearchAll(session, {dn, Scope::Base, filter, attributes, {}}, entries, SearchStream::Paging::Never);
  if (Failed(status)) return status;
  if (entries.empty()) return E_ADS_NO_SUCH_OBJECT;
  entry = std::move(entries.front());
  return S_OK;
}

}  // namespace agewarden::ldap
