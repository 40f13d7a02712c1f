// The run driver: prepares one run against the invoking user's own domain and
// hands the selected accounts to the search.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/run_state.h"

namespace agewarden {

/// Runs the validated command line. Returns -1 when the list file cannot be
/// opened, otherwise the error count.
int32_t RunSelection(RunState& state);

/// The whole tool over its seams: parse and check the command line (args[0]
/// is the program), translate the -o path, run. Returns -1 when the command
/// line or the list file stops the run, otherwise the error count, uncapped:
/// the exit status where a status holds 32 bits (Windows).
int32_t RunTool(const std::vector<std::string>& args, const RunSeams& seams);

/// RunTool as a POSIX exit status: 255 for -1, an error count capped at 254
/// so that no count ever reads as success.
int RunCommandLine(const std::vector<std::string>& args, const RunSeams& seams);

}  // namespace agewarden
