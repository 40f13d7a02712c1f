// Fuzzes the list-file reader: every word handed out is non-empty, holds no
// white space, is at most the longest name, and becomes valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/text.h"
#include "sources/list_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace agewarden;
  std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (file == nullptr) return 0;
  size_t bytes = 0;
  int32_t handed = 0;
  const int32_t words = ReadListWords(
      file,
      [&](const std::string& word) {
        ++handed;
        if (word.empty() || word.size() > kMaxListWordBytes) __builtin_trap();
        if (word.find_first_of(" \t\n\r\v\f") != std::string::npos) __builtin_trap();
        if (!IsValidUtf8(ListWordToName(word))) __builtin_trap();
        bytes += word.size();
      },
      [&] { ++handed; });
  std::fclose(file);
  if (words != handed || bytes > size) __builtin_trap();
  return 0;
}
