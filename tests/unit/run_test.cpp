#include "cli/run.h"

#include <unistd.h>

#include <functional>

#include "run_fixture.h"

namespace agewarden::testing {
namespace {

const std::string kReport = "tuser01@corp.example -- Test User 01\n  Last change: 3/14/2003 9:26:53 AM  (190.1 days)\n\n";
const std::string kBanner = "Displaying user \"tuser01\" with passwords 180 days old or older.\n\n";

TEST(Run, WorkedExampleWildcardAndYounger) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-u", "tuser01"}, kBanner + kReport},
      {{"-u", "tuser01", "-d", "191"}, "Displaying user \"tuser01\" with passwords 191 days old or older.\n\n"},
      {{"-u", "tuser*", "-q", "-t"}, "tuser01@corp.example\n"},
  };
  for (const auto& [args, output] : cases) {
    RunHarness h;
    h.directory.AddUser("Test User 01", kStaff, "tuser01@corp.example", kMarch14);
    EXPECT_EQ(h.Run(args), 0);
    EXPECT_EQ(h.Output(), output);
    EXPECT_EQ(h.directory.filters.back().find("(userPrincipalName=tuser"), 43u);
  }
}

TEST(Run, OuModeDebugAndToggle) {
  RunHarness h;
  const std::string ou = "OU=\"Admins\",OU=\"Your Staff\",OU=\"Your OU\",DC=corp,DC=example";
  h.directory.objects.push_back({ou, {}});
  h.directory.AddUser("Admin 01", ou, "admin01@corp.example", kMarch14);
  EXPECT_EQ(h.Run({"-x", "-o", "Your OU/Your Staff/Admins", "-t"}), 0);
  EXPECT_EQ(h.Output(),
            "*** DEBUG MODE ***\nOU Before: Your OU/Your Staff/Admins\n"
            "OU After: OU=\"Admins\",OU=\"Your Staff\",OU=\"Your OU\"\nDomain name: CORP\nUPNsfx: @corp.example\n"
            "Container: LDAP://" + ou + "\n"
            "Toggling user objects in OU \"Your OU/Your Staff/Admins\" with passwords 180 days old or older.\n\n"
            "Filter: (&(objectClass=user)(objectCategory=person))\n"
            "admin01@corp.example -- Admin 01\n  DN: CN=Admin 01," + ou + "\n"
            "  Last change: 3/14/2003 9:26:53 AM  (190.1 days)\n"
            "ADsGetObject OK\nPut pwdLastSet for user admin01@corp.example OK\n"
            "Get userAccountControl for user admin01@corp.example OK\n"
            "  before: userAccountControl=512\n  after:  userAccountControl=512\n"
            "Put userAccountControl for user admin01@corp.example OK\n"
            "Issuing SetInfo for user admin01@corp.example ...\nUpdate for user admin01@corp.example succeeded\n\n");
  EXPECT_EQ(h.directory.commits.size(), 1u);
}

TEST(Run, FailureRows) {
  struct Case {
    std::vector<std::string> args;
    std::function<void(RunHarness&)> arrange;
    std::string output;
    int status;
  };
  const auto fail = [](Op op, HRESULT status, std::string key = "") {
    return [=](RunHarness& h) { h.directory.Fail(op, status, key); };
  };
  const std::string ouBanner = "Displaying user objects in OU \"%s\" with passwords 180 days old or older.\n\n";
  const Case cases[] = {
      {{"-l", "/nonexistent/list.txt"}, nullptr, "Cannot open input file: \"/nonexistent/list.txt\"\n", 255},
      {{"-l", "/tmp"}, nullptr, "Cannot open input file: \"/tmp\"\n", 255},
      {{"-u", "tuser01"}, [](RunHarness& h) { h.environment["USERDOMAIN"] = std::string(64, 'D'); },
       "Unable to retrieve your domain name\nErrors: 1 \n", 1},
      {{"-u", "tuser01"}, fail(Op::OpenObject, E_ADS_SERVER_DOWN), "Could not bind to LDAP://rootDSE.\nErrors: 1 \n", 1},
      {{"-u", "tuser01"}, fail(Op::OpenObject, S_FALSE), "Could not bind to LDAP://rootDSE.\nErrors: 1 \n", 1},
      {{"-u", "tuser01"}, fail(Op::Get, E_FAIL), "Could not get default naming context.\nErrors: 1 \n", 1},
      {{"-u", "tuser01"}, fail(Op::Get, S_FALSE), "Could not get default naming context.\nErrors: 1 \n", 1},
      {{"-u", "tuser01"}, fail(Op::OpenSearch, E_ADS_NO_SUCH_OBJECT),
       kBanner + "Could not bind to the container LDAP://DC=corp,DC=example.\nErrors: 1 \n", 1},
      {{"-u", "tuser01"}, fail(Op::OpenSearch, S_FALSE),
       kBanner + "Could not bind to the container LDAP://DC=corp,DC=example.\nErrors: 1 \n", 1},
      {{"-o", "Missing/OU"}, nullptr, Format(ouBanner, "Missing/OU") + "Could not find OU \"Missing/OU\".\nErrors: 1 \n", 1},
      {{"-x", "-o", "/"}, nullptr,
       "*** DEBUG MODE ***\nOU Before: /\nOU After: \nDomain name: CORP\nUPNsfx: @corp.example\n"
       "Container: LDAP://,DC=corp,DC=example\n" + Format(ouBanner, "/") + "Could not find OU \"/\".\nErrors: 1 \n", 1},
      {{"-o", "Staff", "-q"}, fail(Op::ExecuteSearch, E_FAIL), "Query failed to run. HRESULT: 80004005\nErrors: 1 \n", 1},
      {{"-u", "a)("}, nullptr, "Displaying user \"a)(\" with passwords 180 days old or older.\n\n"
       "Could not execute query. An invalid filter was specified.\nErrors: 1 \n", 1},
      {{"-u", "nobody", "-q"}, nullptr, "User object \"nobody\" could not be found.\nErrors: 1 \n", 1},
      {{"-q", "-t", "-u", "tuser01"}, fail(Op::GetUser, E_ACCESSDENIED),  // no closing empty line in quiet mode
       "tuser01@corp.example\nUser tuser01@corp.example - ADsGetObject failed\nErrors: 1 \n", 1},
      {{"-o", "Empty/x", "-q"}, [](RunHarness& h) { h.directory.objects.push_back({"OU=x,OU=Empty,DC=corp,DC=example", {}}); },
       "No user objects could be found in \"Empty/x\".\n\nErrors: 1 \n", 1},
      {{"-u", "tuser01"}, fail(Op::GetNextRow, E_ADS_SERVER_DOWN),
       kBanner + kReport + "Query failed to run. HRESULT: 8007203a\nErrors: 1 \n", 1},
      {{"-x", "-g", "Staff", "-q"}, [](RunHarness& h) { h.environment.erase("USERDOMAIN"); },
       "*** DEBUG MODE ***\nDomain name: %USERDOMAIN%\nUPNsfx: @corp.example\nContainer: LDAP://DC=corp,DC=example\n"
       "Displaying user objects in group \"Staff\" with passwords 180 days old or older.\n\n"
       "Could not find Group \"Staff\"\nErrors: 1 \n", 1},
      {{"-x", "-u", "x", "-q"}, [](RunHarness& h) { h.directory.rootDse = {{"defaultNamingContext", {std::string("OU=w,dc=c,DC=y,DC=z")}}}; },
       "*** DEBUG MODE ***\nDomain name: CORP\nUPNsfx: @y.z\nContainer: LDAP://OU=w,dc=c,DC=y,DC=z\n"
       "Displaying user \"x\" with passwords 180 days old or older.\n\n"
       "Could not bind to the container LDAP://OU=w,dc=c,DC=y,DC=z.\nErrors: 1 \n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    RunHarness h;
    h.directory.AddUser("Test User 01", kStaff, "tuser01@corp.example", kMarch14);
    if (c.arrange) c.arrange(h);
    EXPECT_EQ(h.Run(c.args), c.status);
    EXPECT_EQ(h.Output(), c.output);
    EXPECT_EQ(h.directory.starts, h.directory.stops) << "every started session is stopped";
    EXPECT_TRUE(h.directory.commits.empty());
  }
}

TEST(Run, ManyErrorsNeverReadAsSuccess) {
  // 300 names that are not found: the line shows the count, the status caps.
  const std::string path = ::testing::TempDir() + "agewarden-300.txt";
  std::string names;
  for (int i = 0; i < 300; ++i) names += "nobody" + std::to_string(i) + "\n";
  std::FILE* file = std::fopen(path.c_str(), "w");
  std::fputs(names.c_str(), file);
  std::fclose(file);
  RunHarness h;
  EXPECT_EQ(h.Run({"-l", path, "-q"}), 254);
  unlink(path.c_str());
  EXPECT_EQ(h.Output().substr(h.Output().size() - 13), "Errors: 300 \n");
}

// -t changes exactly the reported accounts; -x reports more rows but changes
// no more; without -t nothing reaches the directory.
TEST(Run, ToggleWritesExactlyTheReportedAccounts) {
  const std::string longOu = "OU=" + std::string(300, 'L') + "," + kStaff;
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-t", "-o", "Staff", "-d", "90", "-q"},
                                               {"-x", "-t", "-o", "Staff", "-d", "90"},
                                               {"-o", "Staff", "-d", "90", "-q"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    RunHarness h;
    h.directory.AddUser("Test User 01", kStaff, "tuser01@corp.example", kMarch14, 66048);
    h.directory.AddUser("Young", kStaff, "young@corp.example", kNow - kTicksPerSecond);
    h.directory.AddUser("No Upn", kStaff, "", kMarch14);
    h.directory.AddUser("Slash/User", kStaff, "slash@corp.example", kMarch14);
    h.directory.objects.push_back({longOu, {}});
    h.directory.AddUser("Long", longOu, "long@corp.example", kMarch14);
    EXPECT_EQ(h.Run(args), 0);
    std::vector<std::string> committed;
    for (const Commit& commit : h.directory.commits) committed.push_back(commit.dn);
    const std::vector<std::string> reported = {"CN=Test User 01," + std::string(kStaff),
                                               "CN=Slash/User," + std::string(kStaff), "CN=Long," + longOu};
    if (args[0] == "-x") {
      EXPECT_NE(h.Output().find("young@corp.example -- Young\n"), std::string::npos);
      EXPECT_EQ(committed, reported);
    } else if (args[0] == "-t") {
      EXPECT_EQ(h.Output(), "tuser01@corp.example\nslash@corp.example\nlong@corp.example\n");
      EXPECT_EQ(committed, reported);
    } else {
      EXPECT_TRUE(committed.empty());
    }
  }
}

}  // namespace
}  // namespace agewarden::testing
