#include "directory/backend/session.h"
#include "run_harness.h"

namespace agewarden::testing {
namespace {

const int64_t kDay = 86400 * kTicksPerSecond;
const std::string kBanner = "Displaying user \"tuser01\" with passwords 180 days old or older.\n\n";
const std::string kChanged = ": pwdLastSet=0 userAccountControl=512;";
const std::string kTuser = "CN=Test User 01,OU=Staff,DC=corp,DC=example";

void Populate(RunHarness& h) {
  AddUser(h.server, "Almost", kStaff, "almost@corp.example", kNow - 17996 * kDay / 100);  // prints as 180.0
  AddUser(h.server, "Exactly", kStaff, "exact@corp.example", kNow - 180 * kDay);
  AddUser(h.server, "Future", kStaff, "future@corp.example", kNow + kDay);
  AddUser(h.server, "Never", kStaff, "never@corp.example", int64_t{0xFFFFFFFF});  // quiet shows no "Never Expires."
  AddUser(h.server, "No Upn", kStaff, "", kMarch14);
  AddUser(h.server, "Test User 01", kStaff, "tuser01@corp.example", kMarch14, 66048);
  AddUser(h.server, "Young", kStaff, "young@corp.example", kNow - 1);
}

// Whole runs: output, status and writes. -t writes exactly the accounts
// reported, each whole or not at all. Failures are the connection's: a
// request the client library refuses, one the server answers with an error
// or stops answering, a lost connection, an attribute the server withholds.
TEST(Run, Rows) {
  using Fault = FakeServer::Fault;
  const auto fail = [](std::string match, Fault fault, int value = 0) {
    return [=](RunHarness& h) { h.server.Fail(match, fault, value); };
  };
  const std::string tuserSearch = "(userPrincipalName=tuser01@corp.example)) [";
  const auto report = [](const std::string& time) {
    return "tuser01@corp.example -- Test User 01\n  Last change: 3/14/2003 " + time + " AM  (190.1 days)\n\n";
  };
  const std::string q = "tuser01@corp.example\n", u = " for user tuser01@corp.example";
  const std::string debug = "*** DEBUG MODE ***\nDomain name: CORP\nUPNsfx: @corp.example\nContainer: LDAP://DC=corp,"
      "DC=example\nToggling user \"tuser01\" with passwords 180 days old or older.\n\nFilter: (&(objectClass=user)"
      "(objectCategory=person)(userPrincipalName=tuser01@corp.example))\n";
  const std::string queryFailed = "Query failed to run. HRESULT: 8007203a\nErrors: 1 \n";
  const std::vector<std::string> qt = {"-q", "-t", "-u", "tuser01"}, xt = {"-x", "-t", "-u", "tuser01"};
  // The C library's rules: the offset in force on March 14 (standard time), not now.
  setenv("TZ", "EST5EDT,M4.1.0,M10.5.0", 1);
  tzset();
  CheckRuns({
      {{"-u", "tuser01"}, [](RunHarness& h) { h.zone = LocalZoneOffset; }, kBanner + report("4:26:53"), 0},
      {{"-u", "joe", "-u", "tuser01", "-d", " +195days", "-q"}, nullptr, "", 0},
      {{"-o", "Staff", "-q"}, nullptr, "exact@corp.example\n" + q, 0},
      {{"-o", "Staff", "-d", "90", "-Q", "-t"}, nullptr, "almost@corp.example\nexact@corp.example\n" + q, 0,
       "Almost" + kChanged + "Exactly" + kChanged + "Test User 01" + kChanged},
      {{"-l", "/tmp"}, nullptr, "Cannot open input file: \"/tmp\"\n", 255},
      {{"-u", "tuser01"}, [](RunHarness& h) { h.variables["USERDOMAIN"] = std::string(64, 'D'); },
       "Unable to retrieve your domain name\nErrors: 1 \n", 1},
      {{"-u", "tuser01"}, [](RunHarness& h) { h.server.bindStatus = E_ADS_SERVER_DOWN; },
       "Could not bind to LDAP://rootDSE.\nErrors: 1 \n", 1},
      {{"-u", "tuser01"}, [](RunHarness& h) { h.server.Find("")->attributes.erase(h.server.Find("")->attributes.begin()); },
       "Could not get default naming context.\nErrors: 1 \n", 1},
      {{"-u", "tuser01"}, fail("[1.1]", Fault::Lose),
       kBanner + "Could not bind to the container LDAP://DC=corp,DC=example.\nErrors: 1 \n", 1},
      {{"-x", "-o", "/"}, nullptr, "*** DEBUG MODE ***\nOU Before: /\nOU After: \nDomain name: CORP\nUPNsfx: @corp."
       "example\nContainer: LDAP://,DC=corp,DC=example\nDisplaying user objects in OU \"/\" with passwords 180 days old"
       " or older.\n\nCould not find OU \"/\".\nErrors: 1 \n", 1},
      {{"-o", "Empty/x", "-q"}, [](RunHarness& h) { h.server.Add("OU=x,OU=Empty," + std::string(kBase), {}); },
       "No user objects could be found in \"Empty/x\".\n\nErrors: 1 \n", 1},
      // Without USERDOMAIN only Group mode asks the directory for its name.
      {{"-u", "nobody", "-q"}, [](RunHarness& h) { h.variables.erase("USERDOMAIN"); h.server.Fail("nETBIOSName", Fault::Refuse, E_FAIL); },
       "User object \"nobody\" could not be found.\nErrors: 1 \n", 1},
      {{"-x", "-u", "x", "-q"}, [](RunHarness& h) { h.server.Find("")->attributes.front().values = {"OU=w,dc=c,DC=y,DC=z"}; },
       "*** DEBUG MODE ***\nDomain name: CORP\nUPNsfx: @y.z\nContainer: LDAP://OU=w,dc=c,DC=y,DC=z\nDisplaying user"
       " \"x\" with passwords 180 days old or older.\n\nCould not bind to the container LDAP://OU=w,dc=c,DC=y,DC=z.\n"
       "Errors: 1 \n", 1},
      // Searches that fail.
      {xt, fail(tuserSearch, Fault::Refuse, E_ADS_SERVER_DOWN), debug + "ExecuteSearch Failed\n" + queryFailed, 1},
      {xt, fail(tuserSearch, Fault::Lose), debug + "GetFirstRow Failed\n" + queryFailed, 1},
      // Lost after a row whose write is answered at once, as one write at a time is.
      {xt, [&](RunHarness& h) { fail(tuserSearch, Fault::Lose, 1)(h), h.server.arrived = nullptr; }, debug + "tuser01@corp.example -- Test User 01\n"
       "  DN: CN=Test User 01,OU=Staff,DC=corp,DC=example\n  Last change: 3/14/2003 9:26:53 AM  (190.1 days)\n"
       "ADsGetObject OK\nPut pwdLastSet" + u + " OK\nGet userAccountControl" + u + " OK\n  before: userAccountControl="
       "66048\n  after:  userAccountControl=512\nPut userAccountControl" + u + " OK\nIssuing SetInfo" + u + " ...\n"
       "Update" + u + " succeeded\n\nGetNextRow Failed\n" + queryFailed, 1, "Test User 01" + kChanged},
      // Password changes that fail (no closing empty line in quiet mode). The
      // write is edit-safe: a userAccountControl that is missing or no number
      // writes nothing, and so does one changed by someone else since it was read.
      // An account deleted between its row and its write fails the write.
      {qt, [](RunHarness& h) {
         h.server.beforeAnswer = [&h](const std::string& request) { if (request.starts_with("modify")) std::erase_if(h.server.entries, [](auto& e) { return e.dn == kTuser; }); };
       }, q + "Update" + u + " failed\nErrors: 1 \n", 1},
      {qt, [](RunHarness& h) { h.server.Find(kTuser)->attributes[5].values.clear(); }, q + "Get userAccountControl" + u +
       " failed\nErrors: 1 \n", 1},
      {qt, [](RunHarness& h) { h.server.Find(kTuser)->attributes[5].values = {"x"}; }, q + "Get userAccountControl" + u +
       " failed\nErrors: 1 \n", 1},
      {qt, [](RunHarness& h) {
         h.server.beforeAnswer = [&h](const std::string& request) {
           if (request.starts_with("modify")) h.server.Find(kTuser)->attributes[5].values = {"514"};
         };
       }, q + "Update" + u + " failed\nErrors: 1 \n", 1},
      // A write refused amid others fails alone.
      {{"-o", "Staff", "-d", "90", "-q", "-t"}, fail("modify CN=Exactly", Fault::Result, 50), "almost@corp.example\n"
       "exact@corp.example\nUpdate for user exact@corp.example failed\n" + q + "Errors: 1 \n", 1,
       "Almost" + kChanged + "Test User 01" + kChanged},
  }, Populate);
  unsetenv("TZ");
  tzset();
}

// A connection lost, or a server gone silent, with a full window of writes:
// the writes answered before stand, every later one fails, then the search.
TEST(Run, ConnectionLostWithWritesInFlight) {
  for (const auto fault : {FakeServer::Fault::Lose, FakeServer::Fault::Silence}) {
    RunHarness h;
    std::string expected, written;
    for (size_t i = 10; i < 60; ++i) {
      const std::string name = "u" + std::to_string(i);
      AddUser(h.server, name, kStaff, name + "@corp.example", kMarch14);
      if (i < 14) written += name + kChanged;
      if (i <= 14 + ldap::kWriteWindow) expected += name + "@corp.example\n";
      if (i >= 14 && i <= 14 + ldap::kWriteWindow) expected += "Update for user " + name + "@corp.example failed\n";
    }
    h.server.arrived = [](const std::string& request) { return !request.starts_with("modify"); };
    h.server.Fail("modify", fault, 0, 5);
    EXPECT_EQ(h.Run({"-o", "Staff", "-q", "-t"}), ldap::kWriteWindow + 2);
    EXPECT_EQ(h.out.str(), expected + "Query failed to run. HRESULT: 8007203a\nErrors: " +
                               std::to_string(ldap::kWriteWindow + 2) + " \n");
    EXPECT_EQ(h.server.writes, written);
  }
}

// -x reports every row, but with -t commits exactly what -t alone commits.
TEST(Run, DebugChangesNoMoreThanToggle) {
  RunHarness h;
  Populate(h);
  EXPECT_EQ(h.Run({"-x", "-t", "-o", "Staff", "-d", "90"}), 0);
  EXPECT_EQ(h.server.writes, "Almost" + kChanged + "Exactly" + kChanged + "Test User 01" + kChanged);
}

TEST(Run, PasswordLastSetEdgeValues) {
  const std::pair<std::string, int64_t> users[] = {
      {"Far", INT64_MAX - 1},  // beyond the year 30827: no calendar fields
      {"Late", TicksOf(12000, 1, 1, 0, 0, 0)},  // calendar fields but no date value
      {"Negative", static_cast<int64_t>(0xFFFFFFFF00000000)},  // high half all ones, low half not
      {"Never", int64_t{0x12345678FFFFFFFF}},  // low half all ones: never expires, whatever the high half
      {"Zero", 0},  // the first instant of 1601
  };
  RunHarness h;
  for (const auto& [name, ticks] : users) AddUser(h.server, name, kStaff, name + "@corp", ticks);
  const auto row = [](const std::string& name, const std::string& change) {
    return name + "@corp -- " + name + "\n  DN: CN=" + name + ",OU=Staff,DC=corp,DC=example\n  Last change: " +
           change + "\n\n";
  };
  EXPECT_EQ(h.Run({"-x", "-o", "Staff"}), 0);
  EXPECT_EQ(h.out.str().substr(h.out.str().find("\nFilter: ")),
            "\nFilter: (&(objectClass=user)(objectCategory=person))\nFileTimeToSystemTime failed\n" +
                row("Far", "Unknown  (0.0 days)") + "FileTimeToVariantTime failed\n" +
                row("Late", "Unknown  (-3651066.5 days)") + "FileTimeToLocalFileTime failed\n" +
                row("Negative", "Unknown  (0.0 days)") + "  Never Expires.\n" + row("Never", "Unknown  (0.0 days)") +
                row("Zero", "1/1/1601 12:00:00 AM  (147089.5 days)"));
}

}  // namespace
}  // namespace agewarden::testing
