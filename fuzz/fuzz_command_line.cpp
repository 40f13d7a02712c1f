// Fuzzes the option loop and its checks: the input, split at NUL bytes, is
// the argument vector. An accepted command line names exactly one selection.
#include <cstdint>
#include <sstream>

#include "cli/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
  std::vector<std::string> args = {"agewarden"};
  for (std::string arg; std::getline(input, arg, '\0');) args.push_back(arg);
  std::ostringstream out;
  const auto o = agewarden::ParseCommandLine(args, out);
  if (o && (o->userGiven + o->listGiven + o->ouGiven + o->groupGiven != 1 || o->days <= 0)) __builtin_trap();
  return 0;
}
