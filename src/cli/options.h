// The command line: nine options matched as whole words without regard to
// ASCII case, exactly one selection criterion, and the usage text.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/run_state.h"

namespace agewarden {

/// Longest value of -o, -u, -l and -g, in UTF-16 characters.
constexpr size_t kMaxValueLength = 259;

/// Reads and checks args (element 0 is the program). Empty when the run stops
/// with -1: a value too long, the usage text or a command-line error has been
/// printed to `out`.
std::optional<RunOptions> ParseCommandLine(const std::vector<std::string>& args, std::ostream& out);

/// The one criterion in force after a successful parse.
SelectionMode GetSelectionMode(const RunOptions& options);

}  // namespace agewarden
