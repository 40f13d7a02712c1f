// Fuzzes the OU path translation: whatever the bytes, the chain is each
// non-empty component as OU="...", joined with commas.
#include <algorithm>
#include <cstdint>

#include "cli/ou_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);
  size_t components = 0;
  for (size_t i = 0; i < size; ++i) components += path[i] != '/' && (i + 1 == size || path[i + 1] == '/');
  const size_t expected = size - std::count(path.begin(), path.end(), '/') + 6 * components - (components > 0);
  if (agewarden::OuRdnChainOf(path).size() != expected) __builtin_trap();
  return 0;
}
