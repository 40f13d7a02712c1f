#include "sources/list_file.h"

#include <sys/stat.h>

#include "common/text.h"
#include "cli/run.h"
#include "search/find_users.h"

namespace agewarden {
namespace {

bool IsListSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

std::FILE* OpenListFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return nullptr;
  struct stat info {};
  if (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode)) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}

bool CanOpenListFile(const std::string& path) {
  std::FILE* file = OpenListFile(path);
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
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

int32_t ProcessList(RunState& state, const std::string& listPath, DirectorySearch* search) {
  std::FILE* file = OpenListFile(listPath);
  if (file == nullptr) {
    state.Print("Cannot open input file: %s\n", listPath);
    return -1;
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
  const int32_t words = ReadListWords(file, onWord, onTooLong);
  std::fclose(file);
  if (words == 0) {
    state.Print("List \"%s\" is empty\n", listPath);
    ++state.errorCount;
  }
  return 0;
}

}  // namespace agewarden
