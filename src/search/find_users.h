// The search that reads each selected account and reports its password age.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/run_state.h"
#include "directory/directory.h"

namespace agewarden {

/// The values gathered for one row of the search.
struct AccountRow {
  std::string name;
  std::string distinguishedName;
  std::string userPrincipalName;
  /// Local date and time of the last password change, or "Unknown".
  std::string lastChange = "Unknown";
  /// Current time minus the last change, both UTC, in 100-ns ticks.
  int64_t ageTicks = 0;
};

/// "(userPrincipalName=" + name + suffix + ")"; the name goes in unescaped so
/// that "*" works as a wildcard.
std::string UpnFilterClause(const RunState& state, std::string_view name);

/// One subtree search below the container of `search` for user accounts that
/// match the clause; reports those whose password is at least `days` old and,
/// with -t, forces a change on each. Returns a negative status when the search
/// failed, 1 when it returned no row, S_ADS_NOMORE_ROWS otherwise.
HRESULT FindUsers(RunState& state, AccountSearch& search, const std::string& filterClause);

/// Tells the directory the user names whose UpnFilterClause FindUsers will
/// be called with next, in order, so that it may ask for many accounts in
/// one request.
void AnnounceNames(const RunState& state, AccountSearch& search, const std::vector<std::string>& names);

/// Prints and counts the failure of a search: an invalid filter or any other
/// negative status. Does nothing for a result that is no failure.
void ReportFailedQuery(RunState& state, HRESULT result);

}  // namespace agewarden
