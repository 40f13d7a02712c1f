#include "sources/list_file.h"

#include <sys/stat.h>

#include "common/text.h"
#include "search/find_users.h"

namespace agewarden {
namespace {

bool IsListSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

ListFile OpenListFile(const std::string& path) {
  ListFile file(std::fopen(path.c_str(), "r"));
  struct stat info {};
  if (file && (fstat(fileno(file.get()), &info) != 0 || S_ISDIR(info.st_mode))) file.reset();
  return file;
}

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

void ProcessList(RunState& state, const std::string& listPath, DirectorySearch& search) {
  const ListFile file = OpenListFile(listPath);
  if (!file) {
    state.Print("Cannot open input file: %s\n", listPath);
    return;
  }
  const auto onWord = [&](const std::string& word) {
    const std::string name = ListWordToName(word);
    if (state.options.debug) state.Print("List: %s\n", name);
    const HRESULT result = FindUsers(state, search, UpnFilterClause(state, name));
    if (result == 1) {
      state.Print("User object %s could not be found.\n\n", name);
      ++state.errorCount;
    } else {
      ReportFailedQuery(state, result);
    }
  };
  const auto onTooLong = [&] {
    state.Print("A name longer than %d bytes in list %s was skipped.\n", kMaxListWordBytes, listPath);
    ++state.errorCount;
  };
  if (ReadListWords(file.get(), onWord, onTooLong) == 0) {
    state.Print("List \"%s\" is empty\n", listPath);
    ++state.errorCount;
  }
}

}  // namespace agewarden
