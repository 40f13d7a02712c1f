// Fuzzes the option loop and its checks over arbitrary argument vectors:
// the input is split at NUL bytes into arguments, UTF-8 or not.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/ou_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace agewarden;
  std::vector<std::string> args = {"agewarden", ""};
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back() += static_cast<char>(data[i]);
    }
  }
  std::ostringstream out;
  const auto options = ParseCommandLine(args, out);
  if (!options) return 0;
  const RunOptions& o = *options;
  const int given = int{o.userGiven} + int{o.listGiven} + int{o.ouGiven} + int{o.groupGiven};
  if (given != 1 || o.days <= 0 || (o.debug && o.quiet)) __builtin_trap();
  if (o.ouGiven) OuRdnChainOf(o.ouPath);
  return 0;
}
