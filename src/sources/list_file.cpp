#include "sources/list_file.h"

#include <deque>
#include <vector>

#include "common/text.h"
#include "search/find_users.h"

namespace agewarden {
namespace {

// Names read ahead of their searches, and announced to the directory in
// chunks of this many.
constexpr size_t kListReadAhead = 1000;
constexpr size_t kListAnnounceChunk = 200;

bool IsListSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

int32_t ReadListWords(std::FILE* file, const std::function<void(const std::string&)>& onWord,
                      const std::function<void()>& onTooLong) {
  int32_t count = 0;
  std::string word;
  bool tooLong = false;
  const auto finish = [&] {
    if (word.empty() && !tooLong) return;
    if (count < INT32_MAX) ++count;
    if (tooLong) {
      onTooLong();
    } else {
      onWord(word);
    }
    word.clear();
    tooLong = false;
  };
  for (int c = std::getc(file); c != EOF; c = std::getc(file)) {
    if (IsListSpace(c)) {
      finish();
    } else if (tooLong) {
      continue;
    } else if (word.size() == kMaxListWordBytes) {
      word.clear();
      tooLong = true;
    } else {
      word += static_cast<char>(c);
    }
  }
  finish();
  return count;
}

std::string ListWordToName(const std::string& word) { return IsValidUtf8(word) ? word : WidenLatin1(word); }

void ProcessList(RunState& state, const std::string& listPath, AccountSearch& search) {
  const ListFile file = OpenListFile(listPath);
  if (!file) {
    state.Print("Cannot open input file: %s\n", listPath);
    return;
  }
  // The names are read ahead of their searches and announced to the
  // directory, which may then ask for many of them at once. Each is still
  // searched, and its lines printed, in list order.
  struct Pending {
    std::string name;
    bool tooLong = false;
  };
  std::deque<Pending> ahead;
  std::vector<std::string> announce;
  const auto announceNow = [&] {
    AnnounceNames(state, search, announce);
    announce.clear();
  };
  const auto processNext = [&] {
    const Pending next = std::move(ahead.front());
    ahead.pop_front();
    if (next.tooLong) {
      state.Print("A name longer than %d bytes in list %s was skipped.\n", kMaxListWordBytes, listPath);
      ++state.errorCount;
      return;
    }
    if (state.options.debug) state.Print("List: %s\n", next.name);
    const HRESULT result = FindUsers(state, search, UpnFilterClause(state, next.name));
    if (result == 1) {
      state.Print("User object %s could not be found.\n\n", next.name);
      ++state.errorCount;
    } else {
      ReportFailedQuery(state, result);
    }
  };
  const auto onWord = [&](const std::string& word) {
    Pending pending{ListWordToName(word)};
    announce.push_back(pending.name);
    ahead.push_back(std::move(pending));
    if (announce.size() >= kListAnnounceChunk) announceNow();
    while (ahead.size() > kListReadAhead) processNext();
  };
  const auto onTooLong = [&] {
    ahead.push_back(Pending{{}, true});
    while (ahead.size() > kListReadAhead) processNext();
  };
  const int32_t words = ReadListWords(file.get(), onWord, onTooLong);
  announceNow();
  while (!ahead.empty()) processNext();
  if (words == 0) {
    state.Print("List \"%s\" is empty\n", listPath);
    ++state.errorCount;
  }
}

}  // namespace agewarden
