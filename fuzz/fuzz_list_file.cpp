// Fuzzes the list-file reader: every word handed out is non-empty, at most
// the longest name, free of white space, and becomes valid UTF-8.
#include <cstdint>
#include <cstdio>

#include "common/text.h"
#include "sources/list_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace agewarden;
  const auto check = [](const std::string& word) {
    const bool bad = word.empty() || word.size() > kMaxListWordBytes || !IsValidUtf8(ListWordToName(word));
    if (bad || word.find_first_of(" \t\n\r\v\f") != std::string::npos) __builtin_trap();
  };
  if (std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r")) {
    ReadListWords(file, check, [] {});
    std::fclose(file);
  }
  return 0;
}
