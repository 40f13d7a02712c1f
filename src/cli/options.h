// The command line: nine options matched as whole words without regard to
// ASCII case, exactly one selection criterion, and the usage text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/run_state.h"

namespace agewarden {

/// Longest value of -o, -u, -l and -g, in UTF-16 characters.
constexpr size_t kMaxValueLength = 259;

/// Reads args (element 0 is the program) into state.options. False when a
/// value is too long: the message is printed and the run stops with -1.
bool ParseCommandLine(const std::vector<std::string>& args, RunState& state);

/// The checks after the option loop. False when the run stops with -1
/// (the usage text or a command-line error has been printed).
bool ValidateOptions(RunState& state);

void PrintUsage(const RunState& state);

/// The -d value as a decimal integer: leading white space, one optional
/// sign, then digits up to the first other character; no digits give 0.
/// A number beyond the 32-bit range saturates.
int32_t ParseDays(std::string_view text);

/// The one criterion in force after a successful validation.
SelectionMode GetSelectionMode(const RunOptions& options);

}  // namespace agewarden
