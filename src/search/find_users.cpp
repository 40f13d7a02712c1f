#include "search/find_users.h"

#include <vector>

#include "common/filetime.h"
#include "search/password_change.h"

namespace agewarden {
namespace {

// pwdLastSet of one row: the last-change text and the age.
void ReadPasswordLastSet(RunState& state, int64_t value, int64_t now, AccountRow& row) {
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
  return UpnClause(std::string(name) + state.upnSuffix);
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

void AnnounceNames(const RunState& state, AccountSearch& search, const std::vector<std::string>& names) {
  if (names.empty()) return;
  std::vector<std::string> upns;
  upns.reserve(names.size());
  for (const std::string& name : names) upns.push_back(name + state.upnSuffix);
  search.ExpectUpns(upns);
}

HRESULT FindUsers(RunState& state, AccountSearch& search, const std::string& filterClause) {
  const RunOptions& o = state.options;
  const std::string filter = AccountFilter(filterClause);
  if (o.debug) state.Print("Filter: %s\n", filter);

  // Every row of the call is aged against this one instant.
  const int64_t now = state.now();

  std::unique_ptr<AccountCursor> cursor;
  HRESULT status = search.Search(filter, cursor);
  if (Failed(status) || !cursor) {
    if (o.debug) state.Write("ExecuteSearch Failed\n");
    return Failed(status) ? status : E_FAIL;
  }
  Account account;
  status = cursor->Next(account);
  if (Failed(status)) {
    if (o.debug) state.Write("GetFirstRow Failed\n");
    return status;
  }
  if (status == S_ADS_NOMORE_ROWS) return 1;

  while (true) {
    // Each row starts afresh: a row without a usable pwdLastSet shows
    // "Unknown" and an age of 0, never the values of the row before it.
    AccountRow row{std::move(account.name), std::move(account.distinguishedName),
                   std::move(account.userPrincipalName)};
    if (account.pwdLastSet) ReadPasswordLastSet(state, *account.pwdLastSet, now, row);

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
      if (o.toggle && qualifies) ForcePasswordChange(state, row, std::move(account.user));
      if (!o.quiet) state.Write("\n");
    }

    status = cursor->Next(account);
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
