// Fuzzes the list-file reader: every word handed out is non-empty, at most
// the longest name, free of white space, and becomes valid UTF-8.
#include <cstdint>
#include <cstdio>

#include "common/text.h"
#include "sources/list_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace agewarden;
  std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (file == nullptr) return 0;
  ReadListWords(file, [](const std::string& word) {
    if (word.empty() || word.size() > kMaxListWordBytes || word.find_first_of(" \t\n\r\v\f") != std::string::npos ||
        !IsValidUtf8(ListWordToName(word))) {
      __builtin_trap();
    }
  }, [] {});
  std::fclose(file);
  return 0;
}
