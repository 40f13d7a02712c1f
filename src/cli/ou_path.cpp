#include "cli/ou_path.h"

namespace agewarden {

std::string OuRdnChainOf(std::string_view ouPath) {
  std::string chain;
  // Scan backwards: each component is appended as soon as its left end is
  // found, so no list of components is built.
  size_t end = ouPath.size();
  while (end > 0) {
    while (end > 0 && ouPath[end - 1] == '/') --end;
    if (end == 0) break;
    size_t start = end;
    while (start > 0 && ouPath[start - 1] != '/') --start;
    if (!chain.empty()) chain += ',';
    chain += "OU=\"";
    chain += ouPath.substr(start, end - start);
    chain += '"';
    end = start;
  }
  return chain;
}

void TranslateOuPath(RunState& state) {
  if (state.options.debug) state.Print("OU Before: %s\n", state.options.ouPath);
  state.ouRdnChain = OuRdnChainOf(state.options.ouPath);
  if (state.options.debug) state.Print("OU After: %s\n", state.ouRdnChain);
}

}  // namespace agewarden
