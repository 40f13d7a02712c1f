#include "directory/backend/read_ahead.h"

#include <algorithm>

#include "common/text.h"
#include "directory/directory.h"

namespace agewarden::ldap {
namespace {

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

bool MightMatch(std::string_view a, std::string_view b) {
  const auto ascii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
  const auto same = [](char x, char y) { return EqualsIgnoreAsciiCase({&x, 1}, {&y, 1}); };
  size_t front = 0;
  for (; front < a.size() && front < b.size() && ascii(a[front]) && ascii(b[front]); ++front) {
    if (!same(a[front], b[front])) return false;
  }
  size_t back = 0;
  for (; back < a.size() - front && back < b.size() - front; ++back) {
    const char x = a[a.size() - 1 - back], y = b[b.size() - 1 - back];
    if (!ascii(x) || !ascii(y)) break;
    if (!same(x, y)) return false;
  }
  const std::string_view restA = a.substr(front, a.size() - front - back);
  const std::string_view restB = b.substr(front, b.size() - front - back);
  if (restA.empty() && restB.empty()) return true;
  // What is left differs: only a character beyond ASCII could still match.
  return !(IsAscii(restA) && IsAscii(restB));
}

bool Mergeable(std::string_view upn) {
  if (!IsValidUtf8(upn)) return false;
  return std::none_of(upn.begin(), upn.end(), [](char c) { return c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0'; });
}

struct ReadAhead::Batch {
  enum class State { Open, InFlight, Done, Failed };
  std::vector<std::string> upns;  // as expected, repeats included
  size_t untaken = 0;
  State state = State::Open;
  uint64_t writeMark = 0;
  std::unique_ptr<SearchStream> stream;
  std::vector<Entry> entries;
};

ReadAhead::ReadAhead(std::shared_ptr<Session> session, std::string base, std::vector<std::string> attributes)
    : session_(std::move(session)), base_(std::move(base)), attributes_(std::move(attributes)) {}

ReadAhead::~ReadAhead() = default;

void ReadAhead::Expect(const std::vector<std::string>& upns) {
  for (const std::string& upn : upns) {
    if (!Mergeable(upn)) continue;  // searched on its own when its turn comes
    Batch* batch = batches_.empty() ? nullptr : batches_.back().get();
    if (batch == nullptr || batch->state != Batch::State::Open || batch->upns.size() >= kReadAheadBatch) {
      batches_.push_back(std::make_unique<Batch>());
      batch = batches_.back().get();
    }
    batch->upns.push_back(upn);
    ++batch->untaken;
    expected_[AccountFilter(UpnClause(upn))].emplace_back(upn, batch);
  }
}

void ReadAhead::Send(Batch& batch) {
  std::vector<std::string> upns = batch.upns;
  std::sort(upns.begin(), upns.end());
  upns.erase(std::unique(upns.begin(), upns.end()), upns.end());
  // The alternatives first: Samba narrows an AND by its terms in order.
  std::string filter = "(&(|";
  for (const std::string& upn : upns) filter += UpnClause(upn);
  filter += ")" + std::string(kAccountConditions) + ")";
  // An account with a write still unanswered shows what the write left.
  session_->SettleWrites(true);
  batch.writeMark = session_->WriteCount();
  batch.stream = std::make_unique<SearchStream>(
      session_, SearchRequest{base_, Scope::Subtree, std::move(filter), attributes_, {}});
  batch.state = Succeeded(batch.stream->Start()) ? Batch::State::InFlight : Batch::State::Failed;
  if (batch.state == Batch::State::Failed) batch.stream.reset();
}

void ReadAhead::Drain(Batch& batch) {
  if (batch.state != Batch::State::InFlight) return;
  const HRESULT status =
      ForEachEntry(*batch.stream, [&](Entry& entry) { batch.entries.push_back(std::move(entry)); });
  batch.stream.reset();
  batch.state = Succeeded(status) ? Batch::State::Done : Batch::State::Failed;
  // A batch that failed: each of its names then gets what its own search
  // gives, the rows or the failure with its message.
  if (Failed(status)) batch.entries.clear();
}

bool ReadAhead::Answer(const Batch& batch, const std::string& upn, std::vector<Entry>& entries) const {
  entries.clear();
  for (const Entry& entry : batch.entries) {
    const Attribute* matched = entry.Find("userPrincipalName");
    if (matched == nullptr || matched->values.size() != 1) return false;
    const std::string& stored = matched->values.front();
    if (stored != upn) {
      if (MightMatch(stored, upn)) return false;
      continue;
    }
    // An account this run has changed since the batch was read: what the
    // directory holds now is what a search of its own would show.
    if (session_->WrittenSince(entry.dn, batch.writeMark)) return false;
    entries.push_back(entry);
  }
  return true;
}

void ReadAhead::Release(Batch* batch) {
  if (batch->untaken > 0) return;
  std::erase_if(batches_, [batch](const std::unique_ptr<Batch>& item) { return item.get() == batch; });
}

bool ReadAhead::Take(const std::string& filter, std::vector<Entry>& entries) {
  const auto found = expected_.find(filter);
  if (found == expected_.end()) return false;
  const std::string upn = found->second.front().first;
  Batch* const batch = found->second.front().second;
  found->second.erase(found->second.begin());
  if (found->second.empty()) expected_.erase(found);
  --batch->untaken;

  // This batch, and the ones after it up to the number allowed in flight.
  size_t inFlight = 0;
  for (const auto& item : batches_) inFlight += item->state == Batch::State::InFlight ? 1 : 0;
  for (auto it = std::find_if(batches_.begin(), batches_.end(), [batch](const auto& b) { return b.get() == batch; });
       it != batches_.end() && (inFlight < kReadAheadInFlight || it->get() == batch); ++it) {
    if ((*it)->state != Batch::State::Open) continue;
    Send(**it);
    ++inFlight;
  }

  Drain(*batch);
  const bool answered = batch->state == Batch::State::Done && Answer(*batch, upn, entries);
  Release(batch);
  return answered;
}

}  // namespace agewarden::ldap
