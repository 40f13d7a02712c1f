#include "cli/run.h"

#include "run_fixture.h"

namespace agewarden::testing {
namespace {

constexpr int64_t kMarch14 = 126921076130000000;
const std::string kReport = "tuser01@corp.example -- Test User 01\n  Last change: 3/14/2003 9:26:53 AM  (190.1 days)\n\n";

class RunTest : public RunFixture {
 protected:
  void SetUp() override { directory.AddUser("Test User 01", kStaff, "tuser01@corp.example", kMarch14); }
};

TEST(RunHelpers, UpnSuffixContainerAndClause) {
  EXPECT_EQ(UpnSuffixOf("DC=x,DC=y,DC=z"), "@x.y.z");
  EXPECT_EQ(UpnSuffixOf("OU=w,DC=y,DC=z"), "@y.z");
  EXPECT_EQ(UpnSuffixOf("dc=y,dc=z"), "@");
  EXPECT_EQ(UpnSuffixOf(""), "@");
  EXPECT_EQ(UpnSuffixOf("DC=a,"), "@a.");
  EXPECT_EQ(ContainerPathOf("", false, "DC=x,DC=y"), "LDAP://DC=x,DC=y");
  EXPECT_EQ(ContainerPathOf("OU=\"B\",OU=\"A\"", true, "DC=x"), "LDAP://OU=\"B\",OU=\"A\",DC=x");
  EXPECT_EQ(ContainerPathOf("", true, "DC=x"), "LDAP://,DC=x");
  RunState state;
  state.upnSuffix = "@x.y.z";
  EXPECT_EQ(UpnFilterClause(state, "joeuser"), "(userPrincipalName=joeuser@x.y.z)");
  EXPECT_EQ(UpnFilterClause(state, "a*"), "(userPrincipalName=a*@x.y.z)");
}

TEST(RunHelpers, ExitStatus) {
  EXPECT_EQ(ExitStatus(-1), 255);
  EXPECT_EQ(ExitStatus(0), 0);
  EXPECT_EQ(ExitStatus(3), 3);
  EXPECT_EQ(ExitStatus(254), 254);
  EXPECT_EQ(ExitStatus(256), 254);
  EXPECT_EQ(ExitStatus(INT32_MAX), 254);
}

TEST_F(RunTest, UserModeWorkedExample) {
  EXPECT_EQ(RunTool({"-u", "tuser01"}), 0);
  EXPECT_EQ(Output(), "Displaying user \"tuser01\" with passwords 180 days old or older.\n\n" + kReport);
  EXPECT_EQ(directory.filters.back(),
            "(&(objectClass=user)(objectCategory=person)(userPrincipalName=tuser01@corp.example))");
  EXPECT_EQ(directory.starts, 1);
  EXPECT_EQ(directory.stops, 1);
}

TEST_F(RunTest, UserFoundButYoungerNotFoundAndWildcard) {
  EXPECT_EQ(RunTool({"-u", "tuser01", "-d", "191"}), 0);
  EXPECT_EQ(Output(), "Displaying user \"tuser01\" with passwords 191 days old or older.\n\n");

  out.str("");
  state = RunState{};
  state.out = &out;
  state.directory = &directory;
  state.now = [] { return int64_t{127085328000000000}; };
  state.zone = FixedZone(0);
  state.environment = [](const std::string&, std::string&) { return false; };
  EXPECT_EQ(RunTool({"-u", "nobody", "-q"}), 1);
  EXPECT_EQ(Output(), "User object \"nobody\" could not be found.\nErrors: 1 \n");

  out.str("");
  state.errorCount = 0;
  state.options = RunOptions{};
  EXPECT_EQ(RunTool({"-u", "tuser*", "-q"}), 0);
  EXPECT_EQ(Output(), "tuser01@corp.example\n");
}

TEST_F(RunTest, OuModeAndDebugLines) {
  directory.AddObject("OU=\"Admins\",OU=\"Your Staff\",OU=\"Your OU\",DC=corp,DC=example", {});
  directory.AddUser("Admin 01", "OU=\"Admins\",OU=\"Your Staff\",OU=\"Your OU\",DC=corp,DC=example",
                    "admin01@corp.example", kMarch14);
  EXPECT_EQ(RunTool({"-x", "-o", "Your OU/Your Staff/Admins", "-t"}), 0);
  const std::string dn = "CN=Admin 01,OU=\"Admins\",OU=\"Your Staff\",OU=\"Your OU\",DC=corp,DC=example";
  EXPECT_EQ(Output(),
            "*** DEBUG MODE ***\n"
            "OU Before: Your OU/Your Staff/Admins\n"
            "OU After: OU=\"Admins\",OU=\"Your Staff\",OU=\"Your OU\"\n"
            "Domain name: CORP\n"
            "UPNsfx: @corp.example\n"
            "Container: LDAP://OU=\"Admins\",OU=\"Your Staff\",OU=\"Your OU\",DC=corp,DC=example\n"
            "Toggling user objects in OU \"Your OU/Your Staff/Admins\" with passwords 180 days old or older.\n\n"
            "Filter: (&(objectClass=user)(objectCategory=person))\n"
            "admin01@corp.example -- Admin 01\n"
            "  DN: " + dn + "\n"
            "  Last change: 3/14/2003 9:26:53 AM  (190.1 days)\n"
            "ADsGetObject OK\n"
            "Put pwdLastSet for user admin01@corp.example OK\n"
            "Get userAccountControl for user admin01@corp.example OK\n"
            "  before: userAccountControl=512\n"
            "  after:  userAccountControl=512\n"
            "Put userAccountControl for user admin01@corp.example OK\n"
            "Issuing SetInfo for user admin01@corp.example ...\n"
            "Update for user admin01@corp.example succeeded\n\n");
}

TEST_F(RunTest, BannersByMode) {
  directory.AddGroup("WinNT://CORP/Staff", "Staff").members.push_back({"WinNT://CORP/x", "x"});
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-o", "Staff", "-d", "1"}, "Displaying user objects in OU \"Staff\" with passwords 1 days old or older.\n\n"},
      {{"-g", "Staff", "-t"}, "Toggling user objects in group \"Staff\" with passwords 180 days old or older.\n\n"},
      {{"-l", "/dev/null"}, "Displaying user objects in list \"/dev/null\" with passwords 180 days old or older.\n\n"},
  };
  for (const auto& [args, banner] : cases) {
    out.str("");
    state.options = RunOptions{};
    RunTool(args);
    EXPECT_EQ(Output().substr(0, banner.size()), banner);
  }
}

TEST_F(RunTest, FailureRows) {
  struct Case {
    std::vector<std::string> args;
    std::function<void(RunHarness&)> arrange;
    std::string output;
    int status;
  };
  const std::string banner = "Displaying user \"tuser01\" with passwords 180 days old or older.\n\n";
  const Case cases[] = {
      {{"-l", "/nonexistent/list.txt"}, nullptr, "Cannot open input file: \"/nonexistent/list.txt\"\n", 255},
      {{"-l", "/tmp"}, nullptr, "Cannot open input file: \"/tmp\"\n", 255},
      {{"-u", "tuser01"}, [](RunHarness& f) { f.environment["USERDOMAIN"] = std::string(64, 'D'); },
       "Unable to retrieve your domain name\nErrors: 1 \n", 1},
      {{"-u", "tuser01"}, [](RunHarness& f) { f.directory.Fail(Op::OpenObject, E_ADS_SERVER_DOWN, "rootDSE"); },
       "Could not bind to LDAP://rootDSE.\nErrors: 1 \n", 1},
      {{"-u", "tuser01"}, [](RunHarness& f) { f.directory.Fail(Op::Get, E_FAIL, "defaultNamingContext"); },
       "Could not get default naming context.\nErrors: 1 \n", 1},
      {{"-u", "tuser01"}, [](RunHarness& f) { f.directory.Fail(Op::OpenSearch, E_ADS_NO_SUCH_OBJECT); },
       banner + "Could not bind to the container LDAP://DC=corp,DC=example.\nErrors: 1 \n", 1},
      {{"-o", "Missing/OU"}, nullptr,
       "Displaying user objects in OU \"Missing/OU\" with passwords 180 days old or older.\n\n"
       "Could not find OU \"Missing/OU\".\nErrors: 1 \n", 1},
      {{"-o", "/"}, nullptr,
       "Displaying user objects in OU \"/\" with passwords 180 days old or older.\n\nCould not find OU \"/\".\nErrors: 1 \n",
       1},
      {{"-o", "Staff", "-q"}, [](RunHarness& f) { f.directory.Fail(Op::ExecuteSearch, E_FAIL); },
       "Query failed to run. HRESULT: 80004005\nErrors: 1 \n", 1},
      {{"-o", "Staff", "-q"}, [](RunHarness& f) { f.directory.Fail(Op::SetSearchPreference, E_INVALIDARG); },
       "SetSearchPreference failed\nQuery failed to run. HRESULT: 80070057\nErrors: 2 \n", 2},
      {{"-u", "a)("}, nullptr, "Displaying user \"a)(\" with passwords 180 days old or older.\n\n"
       "Could not execute query. An invalid filter was specified.\nErrors: 1 \n", 1},
      {{"-o", "Staff", "-q", "-d", "1000"}, [](RunHarness& f) { f.directory.AddObject("OU=Empty,OU=Staff,DC=corp,DC=example", {}); },
       "", 0},
      {{"-o", "Empty/x", "-q"}, [](RunHarness& f) { f.directory.AddObject("OU=\"x\",OU=\"Empty\",DC=corp,DC=example", {}); },
       "No user objects could be found in \"Empty/x\".\n\nErrors: 1 \n", 1},
      {{"-u", "tuser01"}, [](RunHarness& f) { f.directory.Fail(Op::GetNextRow, E_ADS_SERVER_DOWN); },
       banner + kReport + "Query failed to run. HRESULT: 8007203a\nErrors: 1 \n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    // Each case gets a directory of its own.
    RunHarness h;
    h.directory.AddUser("Test User 01", kStaff, "tuser01@corp.example", kMarch14);
    if (c.arrange) c.arrange(h);
    EXPECT_EQ(h.RunTool(c.args), c.status);
    EXPECT_EQ(h.Output(), c.output);
    EXPECT_EQ(h.directory.starts, h.directory.stops) << "every started session is stopped";
  }
}

TEST_F(RunTest, UnsetDomainStaysLiteral) {
  environment.erase("USERDOMAIN");
  EXPECT_EQ(RunTool({"-x", "-g", "Staff", "-q"}), 1);
  EXPECT_EQ(Output(),
            "*** DEBUG MODE ***\nDomain name: %USERDOMAIN%\nUPNsfx: @corp.example\nContainer: LDAP://DC=corp,DC=example\n"
            "Displaying user objects in group \"Staff\" with passwords 180 days old or older.\n\n"
            "Could not find Group \"Staff\"\nErrors: 1 \n");
}

TEST_F(RunTest, ManyErrorsNeverReadAsSuccess) {
  // 300 names that are not found: the line shows the count, the status caps.
  char path[] = "/tmp/agewarden-list-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string names;
  for (int i = 0; i < 300; ++i) names += "nobody" + std::to_string(i) + "\n";
  ASSERT_EQ(write(fd, names.data(), names.size()), static_cast<ssize_t>(names.size()));
  close(fd);
  EXPECT_EQ(RunTool({"-l", path, "-q"}), 254);
  unlink(path);
  EXPECT_NE(Output().find("Errors: 300 \n"), std::string::npos);
}

}  // namespace
}  // namespace agewarden::testing
