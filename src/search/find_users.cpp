#include "search/find_users.h"

#include <vector>

#include "common/filetime.h"
#include "search/password_change.h"

namespace agewarden {
namespace {

const std::vector<std::string> kAttributes = {"name", "distinguishedName", "pwdLastSet", "userPrincipalName"};

// The filter of every search: the clause narrows it to one account.
std::string SearchFilter(const std::string& filterClause) {
  return "(&(objectClass=user)(objectCategory=person)" + filterClause + ")";
}

// The first value of a column as text; empty when it holds none.
std::string FirstText(const Column& column) {
  if (column.values.empty()) return {};
  if (const auto* text = std::get_if<std::string>(&column.values.front())) return *text;
  return {};
}

// pwdLastSet of one row: the last-change text and the age.
void ReadPasswordLastSet(RunState& state, const Column& column, int64_t now, AccountRow& row) {
  if (column.values.empty()) return;
  int64_t value = 0;
  if (const auto* large = std::get_if<int64_t>(&column.values.front())) {
    value = *large;
  } else if (const auto* small = std::get_if<int32_t>(&column.values.front())) {
    value = *small;
  } else {
    return;
  }
  const bool debug = state.options.debug;
  if ((static_cast<uint64_t>(value) & 0xFFFFFFFFu) == 0xFFFFFFFFu) {
    if (!state.options.quiet) state.Write("  Never Expires.\n");
    return;
  }
  int64_t local = 0;
  if (!FileTimeToLocalFileTime(value, local, state.zone)) {
    if (debug) state.Write("FileTimeToLocalFileTime failed\n");
    return;
  }
  // The age is measured in UTC on both sides; only the date text is local.
  row.ageTicks = now - value;
  SystemTime fields;
  if (!FileTimeToSystemTime(local, fields)) {
    if (debug) state.Write("FileTimeToSystemTime failed\n");
    row.ageTicks = 0;
    row.lastChange = "Unknown";
    return;
  }
  if (!CanBeDateValue(fields)) {
    if (debug) state.Write("FileTimeToVariantTime failed\n");
    return;
  }
  row.lastChange = FormatDateText(fields);
}

// Ticks to days, as the report prints them.
double AgeInDays(int64_t ageTicks) { return static_cast<double>(ageTicks) * 1e-07 * 1.1574074074074073e-05; }

}  // namespace

std::string UpnFilterClause(const RunState& state, std::string_view name) {
  return "(userPrincipalName=" + std::string(name) + state.upnSuffix + ")";
}

void ReportFailedQuery(RunState& state, HRESULT result) {
  if (result == E_ADS_INVALID_FILTER) {
    state.Write("Could not execute query. An invalid filter was specified.\n");
  } else if (Failed(result)) {
    state.Print("Query failed to run. HRESULT: %x\n", result);
  } else {
    return;
  }
  ++state.errorCount;
}

void AnnounceSearches(DirectorySearch& search, const std::vector<std::string>& filterClauses) {
  std::vector<std::string> filters;
  filters.reserve(filterClauses.size());
  for (const std::string& clause : filterClauses) filters.push_back(SearchFilter(clause));
  if (!filters.empty()) search.ExpectSearches(filters);
}

HRESULT FindUsers(RunState& state, DirectorySearch& search, const std::string& filterClause) {
  const RunOptions& o = state.options;
  const std::string filter = SearchFilter(filterClause);
  if (o.debug) state.Print("Filter: %s\n", filter);

  HRESULT status = search.SetSearchPreference(SearchScope::Subtree);
  if (Failed(status)) {
    ++state.errorCount;
    state.Write("SetSearchPreference failed\n");
    return status;
  }

  // Every row of the call is aged against this one instant.
  const int64_t now = state.now();

  std::unique_ptr<SearchHandle> handle;
  status = search.ExecuteSearch(filter, kAttributes, handle);
  if (Failed(status) || !handle) {
    if (o.debug) state.Write("ExecuteSearch Failed\n");
    return Failed(status) ? status : E_FAIL;
  }
  status = handle->GetFirstRow();
  if (Failed(status)) {
    if (o.debug) state.Write("GetFirstRow Failed\n");
    return status;
  }
  if (status == S_ADS_NOMORE_ROWS) return 1;

  while (true) {
    // Each row starts afresh: a row without a usable pwdLastSet shows
    // "Unknown" and an age of 0, never the values of the row before it.
    AccountRow row;
    std::string columnName;
    while (true) {
      const HRESULT next = handle->GetNextColumnName(columnName);
      if (next == S_ADS_NOMORE_COLUMNS || Failed(next)) break;
      Column column;
      if (Failed(handle->GetColumn(columnName, column))) {
        if (o.debug) state.Write("GetColumn Failed\n");
        continue;
      }
      if (columnName == "name") {
        row.name = FirstText(column);
      } else if (columnName == "distinguishedName") {
        row.distinguishedName = FirstText(column);
      } else if (columnName == "userPrincipalName") {
        row.userPrincipalName = FirstText(column);
      } else if (columnName == "pwdLastSet") {
        ReadPasswordLastSet(state, column, now, row);
      }
    }

    bool qualifies = false;
    bool reported = o.debug;
    if (!row.userPrincipalName.empty() || o.debug) {
      const double days = AgeInDays(row.ageTicks);
      qualifies = !row.userPrincipalName.empty() && days >= static_cast<double>(o.days);
      reported = reported || qualifies;
      if (reported) {
        if (o.quiet) {
          state.Print("%s\n", row.userPrincipalName);
        } else {
          state.Print("%s -- %s\n", row.userPrincipalName, row.name);
          if (o.debug) state.Print("  DN: %s\n", row.distinguishedName);
          state.Print("  Last change: %s  (%.1f days)\n", row.lastChange, days);
        }
      }
    }
    if (reported) {
      // Debug mode shows every row, but only the accounts that qualify on
      // their own are changed: a diagnostic switch never widens a write.
      if (o.toggle && qualifies) ForcePasswordChange(state, row);
      if (!o.quiet) state.Write("\n");
    }

    status = handle->GetNextRow();
    if (status == S_ADS_NOMORE_ROWS) break;
    if (Failed(status)) {
      // The rows stopped short of the end: the query did not complete.
      if (o.debug) state.Write("GetNextRow Failed\n");
      return status;
    }
  }
  return S_ADS_NOMORE_ROWS;
}

}  // namespace agewarden
