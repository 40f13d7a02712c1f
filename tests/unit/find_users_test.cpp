#include "search/find_users.h"

#include "run_fixture.h"

namespace agewarden::testing {
namespace {

// 2003-03-14 09:26:53 UTC.
constexpr int64_t kMarch14 = 126921076130000000;

class FindUsersTest : public RunFixture {
 protected:
  HRESULT Find(const std::string& clause = "") {
    std::unique_ptr<DirectorySearch> search;
    EXPECT_EQ(directory.OpenSearch(std::string("LDAP://") + kStaff, search), S_OK);
    return FindUsers(state, search.get(), clause);
  }
};

TEST_F(FindUsersTest, WorkedExampleInUtcAndInAZoneBehindUtc) {
  directory.AddUser("Test User 01", kStaff, "tuser01@corp", kMarch14);
  EXPECT_EQ(Find(), S_ADS_NOMORE_ROWS);
  EXPECT_EQ(Output(), "tuser01@corp -- Test User 01\n  Last change: 3/14/2003 9:26:53 AM  (190.1 days)\n\n");

  // Six hours behind UTC: the date is local, the age is not.
  out.str("");
  state.zone = FixedZone(-6);
  EXPECT_EQ(Find(), S_ADS_NOMORE_ROWS);
  EXPECT_EQ(Output(), "tuser01@corp -- Test User 01\n  Last change: 3/14/2003 3:26:53 AM  (190.1 days)\n\n");
}

TEST_F(FindUsersTest, WorkedExampleThroughTheCLibraryZoneRules) {
  directory.AddUser("Test User 01", kStaff, "tuser01@corp", kMarch14);
  const char* saved = getenv("TZ");
  const std::string before = saved ? saved : "";
  state.zone = LocalZoneOffset;
  setenv("TZ", "CST6", 1);
  tzset();
  Find();
  setenv("TZ", "EST5EDT,M4.1.0,M10.5.0", 1);  // daylight saving time in force in September
  tzset();
  Find();
  if (saved) setenv("TZ", before.c_str(), 1); else unsetenv("TZ");
  tzset();
  EXPECT_EQ(Output(),
            "tuser01@corp -- Test User 01\n  Last change: 3/14/2003 3:26:53 AM  (190.1 days)\n\n"
            "tuser01@corp -- Test User 01\n  Last change: 3/14/2003 4:26:53 AM  (190.1 days)\n\n");
}

TEST_F(FindUsersTest, DebugQuietAndThreshold) {
  directory.AddUser("Test User 01", kStaff, "tuser01@corp", kMarch14);
  state.options.debug = true;
  EXPECT_EQ(Find(), S_ADS_NOMORE_ROWS);
  EXPECT_EQ(Output(),
            "Filter: (&(objectClass=user)(objectCategory=person))\n"
            "tuser01@corp -- Test User 01\n  DN: CN=Test User 01,OU=Staff,DC=corp,DC=example\n"
            "  Last change: 3/14/2003 9:26:53 AM  (190.1 days)\n\n");

  out.str("");
  state.options.debug = false;
  state.options.quiet = true;
  Find();
  EXPECT_EQ(Output(), "tuser01@corp\n");

  out.str("");
  state.options.quiet = false;
  state.options.days = 191;
  EXPECT_EQ(Find(), S_ADS_NOMORE_ROWS);
  EXPECT_EQ(Output(), "");
}

TEST_F(FindUsersTest, ThresholdIsComparedUnrounded) {
  const int64_t now = state.now();
  const int64_t day = 86400 * kTicksPerSecond;
  directory.AddUser("Exactly", kStaff, "exact@corp", now - 180 * day);
  directory.AddUser("Almost", kStaff, "almost@corp", now - 17996 * day / 100);  // 179.96 days, prints as 180.0
  directory.AddUser("Future", kStaff, "future@corp", now + day);
  Find();
  EXPECT_EQ(Output(), "exact@corp -- Exactly\n  Last change: 3/24/2003 12:00:00 PM  (180.0 days)\n\n");
}

TEST_F(FindUsersTest, RowsThatAreNotReported) {
  EXPECT_EQ(Find(), 1) << "no row at all";
  directory.AddUser("No Upn", kStaff, "", kMarch14);
  directory.AddUser("Young", kStaff, "young@corp", state.now() - kTicksPerSecond);
  EXPECT_EQ(Find(), S_ADS_NOMORE_ROWS) << "rows, none reported";
  EXPECT_EQ(Output(), "");

  // Debug shows every row, the account without userPrincipalName too.
  state.options.debug = true;
  Find();
  EXPECT_NE(Output().find(" -- No Upn\n"), std::string::npos);
  EXPECT_NE(Output().find("young@corp -- Young\n"), std::string::npos);
}

TEST_F(FindUsersTest, PasswordLastSetEdgeValues) {
  // Low half all ones: never expires, whatever the high half holds.
  directory.AddUser("Never", kStaff, "never@corp", int64_t{0x12345678FFFFFFFF});
  // High half all ones, low half not: a negative value that cannot be converted.
  directory.AddUser("Negative", kStaff, "negative@corp", static_cast<int64_t>(0xFFFFFFFF00000000));
  // Beyond the year 30827: cannot be split into calendar fields.
  directory.AddUser("Far", kStaff, "far@corp", INT64_MAX - 1);
  // Year 12000: has calendar fields but cannot become a date value.
  directory.AddUser("Late", kStaff, "late@corp", TicksOf(12000, 1, 1, 0, 0, 0));
  directory.AddUser("Old", kStaff, "old@corp", kMarch14);
  state.options.debug = true;
  Find();
  const std::string expected =
      "Filter: (&(objectClass=user)(objectCategory=person))\n"
      "  Never Expires.\n"
      "never@corp -- Never\n  DN: CN=Never,OU=Staff,DC=corp,DC=example\n  Last change: Unknown  (0.0 days)\n\n"
      "FileTimeToLocalFileTime failed\n"
      "negative@corp -- Negative\n  DN: CN=Negative,OU=Staff,DC=corp,DC=example\n"
      "  Last change: Unknown  (0.0 days)\n\n"
      "FileTimeToSystemTime failed\n"
      "far@corp -- Far\n  DN: CN=Far,OU=Staff,DC=corp,DC=example\n  Last change: Unknown  (0.0 days)\n\n"
      "FileTimeToVariantTime failed\n"
      "late@corp -- Late\n  DN: CN=Late,OU=Staff,DC=corp,DC=example\n"
      "  Last change: Unknown  (-3651066.5 days)\n\n"
      "old@corp -- Old\n  DN: CN=Old,OU=Staff,DC=corp,DC=example\n"
      "  Last change: 3/14/2003 9:26:53 AM  (190.1 days)\n\n";
  EXPECT_EQ(Output(), expected);

  // Outside debug mode only the old account is reported, and quiet drops
  // the never-expires line.
  out.str("");
  state.options.debug = false;
  state.options.quiet = true;
  Find();
  EXPECT_EQ(Output(), "old@corp\n");
}

TEST_F(FindUsersTest, ColumnsAreMatchedCaseSensitivelyAndByFirstValue) {
  FakeObject& user = directory.AddUser("Two Names", kStaff, "two@corp", kMarch14);
  user.Find("name")->push_back(std::string("Second Name"));
  directory.reportStoredNames = true;
  user.attributes.push_back({"USERPRINCIPALNAME", {std::string("shadow@corp")}});
  Find();
  EXPECT_EQ(Output(), "two@corp -- Two Names\n  Last change: 3/14/2003 9:26:53 AM  (190.1 days)\n\n");
}

TEST_F(FindUsersTest, FailureRows) {
  directory.AddUser("Test User 01", kStaff, "tuser01@corp", kMarch14);
  state.options.debug = true;
  struct Case {
    Op op;
    HRESULT expected;  // the result of FindUsers
    std::string message;
    int errors;
  };
  const Case cases[] = {
      {Op::SetSearchPreference, E_FAIL, "SetSearchPreference failed\n", 1},
      {Op::ExecuteSearch, E_FAIL, "ExecuteSearch Failed\n", 0},
      {Op::GetFirstRow, E_ADS_SERVER_DOWN, "GetFirstRow Failed\n", 0},
      {Op::GetNextRow, E_ADS_SERVER_DOWN, "GetNextRow Failed\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    directory.Fail(c.op, c.expected, "", 0, 1);
    out.str("");
    state.errorCount = 0;
    EXPECT_EQ(Find(), c.expected);
    EXPECT_NE(Output().find(c.message), std::string::npos) << Output();
    EXPECT_EQ(state.errorCount, c.errors);
  }

  // Outside debug mode only the preference failure prints.
  state.options.debug = false;
  directory.Fail(Op::ExecuteSearch, E_FAIL, "", 0, 1);
  out.str("");
  EXPECT_EQ(Find(), E_FAIL);
  EXPECT_EQ(Output(), "");

  // A column that cannot be fetched is passed over.
  state.options.debug = true;
  directory.Fail(Op::GetColumn, E_FAIL, "pwdLastSet", 0, 1);
  out.str("");
  EXPECT_EQ(Find(), S_ADS_NOMORE_ROWS);
  EXPECT_NE(Output().find("GetColumn Failed\n"), std::string::npos);
  EXPECT_NE(Output().find("  Last change: Unknown  (0.0 days)\n"), std::string::npos);
}

TEST_F(FindUsersTest, NullSearchObject) {
  EXPECT_EQ(FindUsers(state, nullptr, ""), E_POINTER);
  EXPECT_EQ(Output(), "");
}

}  // namespace
}  // namespace agewarden::testing
