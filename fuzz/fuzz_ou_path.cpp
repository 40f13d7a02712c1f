// Fuzzes the OU path translation: the chain must equal the path's non-empty
// components in reverse order, each quoted, whatever the bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/ou_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);
  const std::string chain = agewarden::OuRdnChainOf(path);

  std::vector<std::string> components;
  std::string current;
  for (const char c : path) {
    if (c == '/') {
      if (!current.empty()) components.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) components.push_back(current);
  std::string expected;
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    if (!expected.empty()) expected += ',';
    expected += "OU=\"" + *it + "\"";
  }
  if (chain != expected) __builtin_trap();
  return 0;
}
