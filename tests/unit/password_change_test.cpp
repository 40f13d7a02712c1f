#include "search/password_change.h"

#include "run_fixture.h"

namespace agewarden::testing {
namespace {

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

TEST(PasswordChange, QuietFailureKeepsItsLineAndDropsTheClosingEmptyLine) {
  RunHarness h;
  h.directory.AddUser("Quiet User", kStaff, "quiet@corp.example", kMarch14);
  h.directory.Fail(Op::GetUser, E_ACCESSDENIED);
  EXPECT_EQ(h.Run({"-q", "-t", "-u", "quiet"}), 1);
  EXPECT_EQ(h.Output(), "quiet@corp.example\nUser quiet@corp.example - ADsGetObject failed\nErrors: 1 \n");
}

}  // namespace
}  // namespace agewarden::testing
