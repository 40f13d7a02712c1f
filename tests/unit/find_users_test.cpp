#include "search/find_users.h"
#include "search/password_change.h"

#include "run_fixture.h"

namespace agewarden::testing {
namespace {

// One FindUsers below OU=Staff; the output, the status and the errors.
struct Found {
  std::string output;
  HRESULT result;
  int errors;
};

Found Find(RunHarness& h, const RunOptions& options, const std::string& clause = "") {
  RunState state = h.State(options);
  std::unique_ptr<DirectorySearch> search;
  EXPECT_EQ(h.directory.OpenSearch(std::string("LDAP://") + kStaff, search), S_OK);
  const HRESULT result = FindUsers(state, *search, clause);
  Found found{h.Output(), result, state.errorCount};
  h.out.str("");
  return found;
}

TEST(FindUsers, WorkedExampleInUtcInAZoneBehindAndThroughTheCLibrary) {
  RunHarness h;
  h.directory.AddUser("Test User 01", kStaff, "tuser01@corp", kMarch14);
  const auto report = [](const std::string& time) {
    return "tuser01@corp -- Test User 01\n  Last change: 3/14/2003 " + time + " AM  (190.1 days)\n\n";
  };
  EXPECT_EQ(Find(h, Options()).output, report("9:26:53"));
  h.zone = FixedZone(-6);  // the date is local, the age is not
  EXPECT_EQ(Find(h, Options()).output, report("3:26:53"));

  // The C library's rules: the offset in force on March 14 (standard time), not now.
  const char* saved = getenv("TZ");
  const std::string before = saved ? saved : "";
  h.zone = LocalZoneOffset;
  setenv("TZ", "EST5EDT,M4.1.0,M10.5.0", 1);
  tzset();
  const std::string eastern = Find(h, Options()).output;
  if (saved) setenv("TZ", before.c_str(), 1); else unsetenv("TZ");
  tzset();
  EXPECT_EQ(eastern, report("4:26:53"));
}

TEST(FindUsers, WhichRowsAreReportedAndHow) {
  const int64_t day = 86400 * kTicksPerSecond;
  RunHarness h;
  EXPECT_EQ(Find(h, Options()).result, 1) << "no row at all";
  h.directory.AddUser("Exactly", kStaff, "exact@corp", kNow - 180 * day);
  h.directory.AddUser("Almost", kStaff, "almost@corp", kNow - 17996 * day / 100);  // prints as 180.0
  h.directory.AddUser("Future", kStaff, "future@corp", kNow + day);
  h.directory.AddUser("No Upn", kStaff, "", kMarch14);
  FakeObject& two = h.directory.AddUser("Two Names", kStaff, "two@corp", TicksOf(2003, 9, 2, 23, 59, 7));
  two.attributes[2].second.push_back(std::string("Second Name"));  // only the first value counts
  two.attributes.push_back({"USERPRINCIPALNAME", {std::string("shadow@corp")}});  // names match with case
  const Found plain = Find(h, Options());
  EXPECT_EQ(plain.result, S_ADS_NOMORE_ROWS);
  EXPECT_EQ(plain.output, "exact@corp -- Exactly\n  Last change: 3/24/2003 12:00:00 PM  (180.0 days)\n\n");
  EXPECT_EQ(Find(h, Options("q")).output, "exact@corp\n");
  EXPECT_EQ(Find(h, Options("", 17)).output,
            "exact@corp -- Exactly\n  Last change: 3/24/2003 12:00:00 PM  (180.0 days)\n\n"
            "almost@corp -- Almost\n  Last change: 3/24/2003 12:57:36 PM  (180.0 days)\n\n"
            "two@corp -- Two Names\n  Last change: 9/2/2003 11:59:07 PM  (17.5 days)\n\n");
  // Debug shows every row, the account without userPrincipalName too.
  const std::string debug = Find(h, Options("x")).output;
  EXPECT_NE(debug.find("\nalmost@corp -- Almost\n"), std::string::npos);
  EXPECT_NE(debug.find("\n -- No Upn\n  DN: CN=No Upn,OU=Staff,DC=corp,DC=example\n"), std::string::npos);
}

TEST(FindUsers, PasswordLastSetEdgeValues) {
  RunHarness h;
  // Low half all ones: never expires, whatever the high half holds.
  h.directory.AddUser("Never", kStaff, "never@corp", int64_t{0x12345678FFFFFFFF});
  // High half all ones, low half not: a negative value that cannot be converted.
  h.directory.AddUser("Negative", kStaff, "negative@corp", static_cast<int64_t>(0xFFFFFFFF00000000));
  // Beyond the year 30827: cannot be split into calendar fields.
  h.directory.AddUser("Far", kStaff, "far@corp", INT64_MAX - 1);
  // Year 12000: has calendar fields but cannot become a date value.
  h.directory.AddUser("Late", kStaff, "late@corp", TicksOf(12000, 1, 1, 0, 0, 0));
  // Zero: the first instant of 1601.
  h.directory.AddUser("Zero", kStaff, "zero@corp", 0);
  const auto row = [](const std::string& name, const std::string& upn, const std::string& change) {
    return upn + " -- " + name + "\n  DN: CN=" + name + ",OU=Staff,DC=corp,DC=example\n  Last change: " + change + "\n\n";
  };
  EXPECT_EQ(Find(h, Options("x")).output,
            "Filter: (&(objectClass=user)(objectCategory=person))\n  Never Expires.\n" + row("Never", "never@corp", "Unknown  (0.0 days)") +
            "FileTimeToLocalFileTime failed\n" + row("Negative", "negative@corp", "Unknown  (0.0 days)") +
            "FileTimeToSystemTime failed\n" + row("Far", "far@corp", "Unknown  (0.0 days)") +
            "FileTimeToVariantTime failed\n" + row("Late", "late@corp", "Unknown  (-3651066.5 days)") +
            row("Zero", "zero@corp", "1/1/1601 12:00:00 AM  (147089.5 days)"));
  EXPECT_EQ(Find(h, Options("q")).output, "zero@corp\n") << "quiet drops the never-expires line";
}

TEST(FindUsers, FailureRows) {
  struct Case {
    Op op;
    HRESULT status;
    HRESULT result;
    std::string output;
  };
  const std::string report = "tuser01@corp -- Test User 01\n  DN: CN=Test User 01,OU=Staff,DC=corp,DC=example\n";
  const Case cases[] = {
      {Op::ExecuteSearch, E_FAIL, E_FAIL, "ExecuteSearch Failed\n"},
      {Op::ExecuteSearch, S_FALSE, E_FAIL, "ExecuteSearch Failed\n"},
      {Op::GetFirstRow, E_ADS_SERVER_DOWN, E_ADS_SERVER_DOWN, "GetFirstRow Failed\n"},
      {Op::GetNextRow, E_ADS_SERVER_DOWN, E_ADS_SERVER_DOWN,
       report + "  Last change: 3/14/2003 9:26:53 AM  (190.1 days)\n\nGetNextRow Failed\n"},
      {Op::GetColumn, E_FAIL, S_ADS_NOMORE_ROWS,
       "GetColumn Failed\nGetColumn Failed\nGetColumn Failed\nGetColumn Failed\n -- \n  DN: \n"
       "  Last change: Unknown  (0.0 days)\n\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    RunHarness h;
    h.directory.AddUser("Test User 01", kStaff, "tuser01@corp", kMarch14);
    h.directory.Fail(c.op, c.status);
    const Found found = Find(h, Options("x"));
    EXPECT_EQ(found.result, c.result);
    EXPECT_EQ(found.output, "Filter: (&(objectClass=user)(objectCategory=person))\n" + c.output);
    EXPECT_EQ(found.errors, 0);
  }
}


const std::string kDn = std::string("CN=Test User 01,") + kStaff;

AccountRow Row() {
  AccountRow row;
  row.userPrincipalName = "tuser01@corp";
  row.distinguishedName = kDn;
  return row;
}

TEST(PasswordChange, BothChangesInOneCommit) {
  RunHarness h;
  h.directory.AddUser("Test User 01", kStaff, "tuser01@corp", kMarch14, 66048);
  RunState state = h.State(Options("xt"));
  ForcePasswordChange(state, Row());
  EXPECT_EQ(h.Output(),
            "ADsGetObject OK\nPut pwdLastSet for user tuser01@corp OK\n"
            "Get userAccountControl for user tuser01@corp OK\n"
            "  before: userAccountControl=66048\n  after:  userAccountControl=512\n"
            "Put userAccountControl for user tuser01@corp OK\n"
            "Issuing SetInfo for user tuser01@corp ...\nUpdate for user tuser01@corp succeeded\n");
  ASSERT_EQ(h.directory.commits.size(), 1u);
  EXPECT_EQ(h.directory.commits[0].dn, kDn);
  const decltype(Commit::changes) changes = {{"pwdLastSet", int32_t{0}}, {"userAccountControl", int32_t{512}}};
  EXPECT_EQ(h.directory.commits[0].changes, changes);
  EXPECT_EQ(state.errorCount, 0);
}

TEST(PasswordChange, FailureRows) {
  struct Case {
    Op op;
    HRESULT status;
    std::string key;
    std::string output;
    int errors;
    std::vector<std::string> committed;  // properties of the one commit; "-" for none
  };
  const Case cases[] = {
      {Op::GetUser, E_ACCESSDENIED, "", "User tuser01@corp - ADsGetObject failed\n", 1, {"-"}},
      {Op::GetUser, S_FALSE, "", "User tuser01@corp - ADsGetObject failed\n", 1, {"-"}},
      {Op::Put, E_ACCESSDENIED, "pwdLastSet", "Put pwdLastSet for user tuser01@corp failed\n", 0, {}},
      {Op::Get, E_ACCESSDENIED, "userAccountControl", "Get userAccountControl for user tuser01@corp failed\n", 0,
       {"pwdLastSet"}},
      {Op::Get, S_FALSE, "userAccountControl", "Get userAccountControl for user tuser01@corp failed\n", 0,
       {"pwdLastSet"}},
      {Op::Put, E_ACCESSDENIED, "userAccountControl", "Put userAccountControl for user tuser01@corp failed\n", 0,
       {"pwdLastSet"}},
      {Op::SetInfo, E_ACCESSDENIED, "", "Update for user tuser01@corp failed\n", 1, {"-"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    RunHarness h;
    h.directory.AddUser("Test User 01", kStaff, "tuser01@corp", kMarch14, 66048);
    h.directory.Fail(c.op, c.status, c.key);
    RunState state = h.State(Options("qt"));  // failures show in quiet mode too
    ForcePasswordChange(state, Row());
    EXPECT_EQ(h.Output(), c.output);
    EXPECT_EQ(state.errorCount, c.errors);
    std::vector<std::string> committed = {"-"};
    if (!h.directory.commits.empty()) {
      committed.clear();
      for (const auto& change : h.directory.commits[0].changes) committed.push_back(change.first);
    }
    EXPECT_EQ(committed, c.committed);
  }
}

}  // namespace
}  // namespace agewarden::testing
