// Turns an -o path ("Your OU/Your Staff/Admins", root first) into the
// directory's form, innermost unit first: OU="Admins",OU="Your Staff",OU="Your OU".
#pragma once

#include <string>
#include <string_view>

#include "common/run_state.h"

namespace agewarden {

/// The chain for a path: its non-empty "/"-separated components from last to
/// first, each as OU="component", joined by ",". Components are copied as
/// typed. The chain grows as needed; it is never cut.
std::string OuRdnChainOf(std::string_view ouPath);

/// Fills state.ouRdnChain from the -o path, with the debug lines.
void TranslateOuPath(RunState& state);

}  // namespace agewarden
