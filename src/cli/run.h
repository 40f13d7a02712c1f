// The run driver: prepares one run against the invoking user's own domain and
// hands the selected accounts to the search.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/run_state.h"
#include "directory/hresult.h"

namespace agewarden {

/// Longest environment value accepted, in UTF-16 characters.
constexpr size_t kMaxEnvironmentLength = 63;

/// Expands %name% the Windows way: a variable that is not set stays as its
/// literal text. False when the value is longer than kMaxEnvironmentLength.
bool ExpandEnvironmentVariable(const RunState& state, const std::string& name, std::string& value);

/// "@" followed by every DC= value of the naming context, joined with ".".
std::string UpnSuffixOf(std::string_view namingContext);

/// "LDAP://", the OU chain and "," in Ou mode, then the naming context.
std::string ContainerPathOf(std::string_view ouRdnChain, bool ouMode, std::string_view namingContext);

/// "(userPrincipalName=" + name + suffix + ")"; the name goes in unescaped so
/// that "*" works as a wildcard.
std::string UpnFilterClause(const RunState& state, std::string_view name);

/// Prints and counts the failure of a search: an invalid filter or any other
/// negative status. False when `result` is no failure.
bool ReportFailedQuery(RunState& state, HRESULT result);

/// Runs the validated command line. Returns -1 when the list file cannot be
/// opened, otherwise the error count.
int32_t RunSelection(RunState& state);

/// The process exit status for a run result: -1 becomes 255 and an error
/// count is capped at 254, so that no count ever reads as success.
int ExitStatus(int32_t result);

}  // namespace agewarden
