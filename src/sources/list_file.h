// The -l list file: user names separated by white space, one search each.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "common/run_state.h"
#include "directory/directory.h"

namespace agewarden {

/// Longest name a list may hold, in bytes (the longest userPrincipalName the
/// directory accepts). A longer word is skipped whole.
constexpr size_t kMaxListWordBytes = 1024;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using ListFile = std::unique_ptr<std::FILE, FileCloser>;

/// Opens a list file for reading; null for a path that cannot be opened,
/// names a folder or cannot be read.
ListFile OpenListFile(const std::string& path);

/// Reads the words of a list. `onWord` gets each word of at most
/// kMaxListWordBytes bytes; `onTooLong` is called once for each longer word,
/// which is read past without being kept. Returns the number of words read,
/// long ones included.
int32_t ReadListWords(std::FILE* file, const std::function<void(const std::string&)>& onWord,
                      const std::function<void()>& onTooLong);

/// A word as a name: UTF-8 text stays as it is; anything else is taken as
/// Latin-1, each byte becoming the character of the same value.
std::string ListWordToName(const std::string& word);

/// One search per name in the file.
void ProcessList(RunState& state, const std::string& listPath, AccountSearch& search);

}  // namespace agewarden
