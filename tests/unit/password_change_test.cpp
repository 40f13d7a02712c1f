#include "search/password_change.h"

#include "run_fixture.h"

namespace agewarden::testing {
namespace {

constexpr int64_t kMarch14 = 126921076130000000;

class PasswordChangeTest : public RunFixture {
 protected:
  void SetUp() override {
    directory.AddUser("Test User 01", kStaff, "tuser01@corp", kMarch14, 66048);
    state.options.toggle = true;
  }
  AccountRow Row() const {
    AccountRow row;
    row.userPrincipalName = "tuser01@corp";
    row.distinguishedName = std::string("CN=Test User 01,") + kStaff;
    return row;
  }
  Variant Stored(const std::string& name) { return directory.FindObject(Row().distinguishedName)->Find(name)->front(); }
};

TEST_F(PasswordChangeTest, WorkedExampleInDebugMode) {
  state.options.debug = true;
  ForcePasswordChange(state, Row());
  EXPECT_EQ(Output(),
            "ADsGetObject OK\n"
            "Put pwdLastSet for user tuser01@corp OK\n"
            "Get userAccountControl for user tuser01@corp OK\n"
            "  before: userAccountControl=66048\n"
            "  after:  userAccountControl=512\n"
            "Put userAccountControl for user tuser01@corp OK\n"
            "Issuing SetInfo for user tuser01@corp ...\n"
            "Update for user tuser01@corp succeeded\n");
  ASSERT_EQ(directory.commits.size(), 1u) << "both changes in one commit";
  EXPECT_EQ(directory.commits[0].changes.size(), 2u);
  EXPECT_EQ(Stored("pwdLastSet"), Variant{int32_t{0}});
  EXPECT_EQ(Stored("userAccountControl"), Variant{int32_t{512}});
  EXPECT_EQ(directory.userBinds, std::vector<std::string>{"LDAP://CN=Test User 01,OU=Staff,DC=corp,DC=example"});
  EXPECT_EQ(state.errorCount, 0);

  // Without debug a change that works prints nothing.
  out.str("");
  state.options.debug = false;
  ForcePasswordChange(state, Row());
  EXPECT_EQ(Output(), "");
}

TEST_F(PasswordChangeTest, FailureRows) {
  struct Case {
    Op op;
    std::string key;
    std::string output;
    int errors;
    std::vector<std::string> committed;  // properties that reached the directory
  };
  const Case cases[] = {
      {Op::GetUser, "", "User tuser01@corp - ADsGetObject failed\n", 1, {}},
      {Op::Put, "pwdLastSet", "Put pwdLastSet for user tuser01@corp failed\n", 0, {}},
      {Op::Get, "userAccountControl", "Get userAccountControl for user tuser01@corp failed\n", 0, {"pwdLastSet"}},
      {Op::Put, "userAccountControl", "Put userAccountControl for user tuser01@corp failed\n", 0, {"pwdLastSet"}},
      {Op::SetInfo, "", "Update for user tuser01@corp failed\n", 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    RunHarness h;
    h.directory.AddUser("Test User 01", kStaff, "tuser01@corp", kMarch14, 66048);
    h.directory.Fail(c.op, E_ACCESSDENIED, c.key);
    h.state.options.quiet = true;  // failures show in quiet mode too
    ForcePasswordChange(h.state, Row());
    EXPECT_EQ(h.Output(), c.output);
    EXPECT_EQ(h.state.errorCount, c.errors);
    std::vector<std::string> committed;
    for (const Commit& commit : h.directory.commits) {
      for (const auto& change : commit.changes) committed.push_back(change.first);
    }
    EXPECT_EQ(committed, c.committed);
  }
}

TEST_F(PasswordChangeTest, ReportedAccountsOnlyAndDebugNeverWidensTheWrite) {
  const auto changed = [&](bool debug) {
    RunHarness h;
    h.directory.AddUser("Test User 01", kStaff, "tuser01@corp", kMarch14, 66048);
    h.directory.AddUser("Young", kStaff, "young@corp", h.state.now() - kTicksPerSecond);
    h.directory.AddUser("No Upn", kStaff, "", kMarch14);
    h.directory.AddUser("Slash/User", kStaff, "slash@corp", kMarch14);
    h.directory.AddObject("OU=" + std::string(300, 'L') + "," + kStaff, {});
    h.directory.AddUser("Long", "OU=" + std::string(300, 'L') + "," + kStaff, "long@corp", kMarch14);
    std::vector<std::string> args = {"-t", "-o", "Staff", "-d", "90"};
    if (debug) args.insert(args.begin(), "-x");
    EXPECT_EQ(h.RunTool(args), 0) << h.Output();
    std::vector<std::string> dns;
    for (const Commit& commit : h.directory.commits) dns.push_back(commit.dn);
    return dns;
  };
  const std::vector<std::string> plain = changed(false);
  EXPECT_EQ(plain, changed(true));
  EXPECT_EQ(plain, (std::vector<std::string>{
                       "CN=Test User 01,OU=Staff,DC=corp,DC=example",
                       "CN=Slash/User,OU=Staff,DC=corp,DC=example",
                       "CN=Long,OU=" + std::string(300, 'L') + ",OU=Staff,DC=corp,DC=example",
                   }));
}

TEST_F(PasswordChangeTest, QuietFailureKeepsLinesAndDropsTheClosingEmptyLine) {
  directory.AddUser("Quiet User", kStaff, "quiet@corp.example", kMarch14);
  directory.Fail(Op::GetUser, E_ACCESSDENIED);
  EXPECT_EQ(RunTool({"-q", "-t", "-u", "quiet"}), 1);
  EXPECT_EQ(Output(), "quiet@corp.example\nUser quiet@corp.example - ADsGetObject failed\nErrors: 1 \n");
}

}  // namespace
}  // namespace agewarden::testing
