#include "directory/ldap_read_ahead.h"

#include <algorithm>

#include "common/text.h"

namespace agewarden::ldap {
namespace {

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Whether the directory could take two values for the same. It compares
// userPrincipalName without regard to case, Unicode included, and its rules
// for characters beyond ASCII are not repeated here: one may match another of
// other case or width, or two characters. ASCII alone is certain: up to the
// first other character from either end, the two must be the same letters,
// ignoring case.
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

bool IsPlainAttribute(std::string_view name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
  });
}

}  // namespace

struct ReadAhead::Batch {
  enum class State { Open, InFlight, Done, Failed };
  std::string rest;
  std::string attribute;
  std::vector<std::string> values;  // as expected, repeats included
  size_t untaken = 0;
  State state = State::Open;
  int scope = 0;
  std::vector<std::string> attributes;  // as the searches ask for them
  bool hiddenAttribute = false;         // `attribute` added only to match rows
  uint64_t writeMark = 0;
  std::unique_ptr<SearchStream> stream;
  std::vector<Entry> entries;
};

std::optional<MergeableFilter> SplitMergeable(const std::string& filter) {
  if (filter.size() < 6 || filter.compare(0, 2, "(&") != 0 || filter.compare(filter.size() - 2, 2, "))") != 0) {
    return std::nullopt;
  }
  const size_t open = filter.rfind('(');
  if (open < 2) return std::nullopt;
  const std::string_view clause(filter.data() + open + 1, filter.size() - 2 - open - 1);
  const size_t equals = clause.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  MergeableFilter split{filter.substr(2, open - 2), std::string(clause.substr(0, equals)),
                        std::string(clause.substr(equals + 1))};
  if (!IsPlainAttribute(split.attribute) || !IsValidUtf8(split.value)) return std::nullopt;
  for (char c : split.value) {
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') return std::nullopt;
  }
  return split;
}

ReadAhead::ReadAhead(std::shared_ptr<Session> session, std::string base)
    : session_(std::move(session)), base_(std::move(base)) {}

ReadAhead::~ReadAhead() = default;

void ReadAhead::Expect(const std::vector<std::string>& filters) {
  for (const std::string& filter : filters) {
    auto split = SplitMergeable(filter);
    if (!split) continue;  // searched on its own when its turn comes
    Batch* batch = batches_.empty() ? nullptr : batches_.back().get();
    if (batch == nullptr || batch->state != Batch::State::Open || batch->values.size() >= kReadAheadBatch ||
        batch->rest != split->rest || batch->attribute != split->attribute) {
      batches_.push_back(std::make_unique<Batch>());
      batch = batches_.back().get();
      batch->rest = std::move(split->rest);
      batch->attribute = std::move(split->attribute);
    }
    batch->values.push_back(std::move(split->value));
    ++batch->untaken;
    expected_[filter].push_back(batch);
  }
}

void ReadAhead::Send(Batch& batch, int scope, const std::vector<std::string>& attributes) {
  batch.scope = scope;
  batch.attributes = attributes;
  SearchRequest request;
  request.base = base_;
  request.scope = scope;
  request.attributes = attributes;
  // The rows are told apart by the value they matched.
  if (!attributes.empty() && std::none_of(attributes.begin(), attributes.end(), [&](const std::string& name) {
        return EqualsIgnoreAsciiCase(name, batch.attribute);
      })) {
    request.attributes.push_back(batch.attribute);
    batch.hiddenAttribute = true;
  }
  std::vector<std::string> values = batch.values;
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  // The alternatives first: Samba narrows an AND by its terms in order.
  request.filter = "(&(|";
  for (const std::string& value : values) request.filter += "(" + batch.attribute + "=" + value + ")";
  request.filter += ")" + batch.rest + ")";
  batch.writeMark = session_->WriteCount();
  batch.stream = std::make_unique<SearchStream>(session_, std::move(request));
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

bool ReadAhead::Answer(const Batch& batch, const std::string& value, std::vector<Entry>& entries) const {
  entries.clear();
  for (const Entry& entry : batch.entries) {
    const Attribute* matched = entry.Find(batch.attribute);
    if (matched == nullptr || matched->values.size() != 1) return false;
    const std::string& stored = matched->values.front();
    if (stored != value) {
      if (MightMatch(stored, value)) return false;
      continue;
    }
    // An account this run has changed since the batch was read: what the
    // directory holds now is what a search of its own would show.
    if (session_->WrittenSince(entry.dn, batch.writeMark)) return false;
    entries.push_back(entry);
    if (batch.hiddenAttribute) {
      std::erase_if(entries.back().attributes,
                    [&](const Attribute& attribute) { return attribute.name == matched->name; });
    }
  }
  return true;
}

void ReadAhead::Release(Batch* batch) {
  if (batch->untaken > 0) return;
  std::erase_if(batches_, [batch](const std::unique_ptr<Batch>& item) { return item.get() == batch; });
}

bool ReadAhead::Take(const std::string& filter, int scope, const std::vector<std::string>& attributes,
                     std::vector<Entry>& entries) {
  const auto found = expected_.find(filter);
  if (found == expected_.end()) return false;
  Batch* batch = found->second.front();
  found->second.pop_front();
  if (found->second.empty()) expected_.erase(found);
  --batch->untaken;

  // This batch, and the ones after it up to the number allowed in flight.
  size_t inFlight = 0;
  for (const auto& item : batches_) inFlight += item->state == Batch::State::InFlight ? 1 : 0;
  if (batch->state == Batch::State::Open) {
    Send(*batch, scope, attributes);
    ++inFlight;
  }
  for (auto it = std::find_if(batches_.begin(), batches_.end(), [batch](const auto& b) { return b.get() == batch; });
       it != batches_.end() && inFlight < kReadAheadInFlight; ++it) {
    if ((*it)->state != Batch::State::Open) continue;
    Send(**it, scope, attributes);
    ++inFlight;
  }

  bool answered = false;
  if (batch->scope == scope && batch->attributes == attributes) {
    Drain(*batch);
    answered = batch->state == Batch::State::Done && Answer(*batch, SplitMergeable(filter)->value, entries);
  }
  Release(batch);
  return answered;
}

}  // namespace agewarden::ldap
