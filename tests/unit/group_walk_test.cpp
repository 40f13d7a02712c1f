#include "sources/group_walk.h"

#include "cli/domain_admin.h"
#include "run_fixture.h"

namespace agewarden::testing {
namespace {

constexpr int64_t kMarch14 = 126921076130000000;

// A run as the run driver leaves it before a walk, in the domain CORP.
void PrepareWalk(RunHarness& h) {
  h.state.domainName = "CORP";
  h.state.upnSuffix = "@corp.example";
  h.state.options.quiet = true;
}

int32_t WalkGroup(RunHarness& h, const std::string& name) {
  std::unique_ptr<DirectorySearch> search;
  h.directory.OpenSearch(std::string("LDAP://") + kBase, search);
  std::unique_ptr<AdsGroup> group;
  EXPECT_EQ(h.directory.GetGroup("WinNT://CORP/" + name, group), S_OK);
  return ProcessGroup(h.state, search.get(), group.get());
}

class GroupWalkTest : public RunFixture {
 protected:
  void SetUp() override { PrepareWalk(*this); }
  FakeGroup& Group(const std::string& name) { return directory.AddGroup("WinNT://CORP/" + name, name); }
  void Account(FakeGroup& group, const std::string& name) {
    if (!directory.FindObject("CN=" + name + "," + kStaff)) {
      directory.AddUser(name, kStaff, name + "@corp.example", kMarch14);
    }
    group.members.push_back({"WinNT://CORP/" + name, name});
  }
  void Nest(FakeGroup& parent, const FakeGroup& child) { parent.members.push_back({child.path, child.name}); }
  int32_t Walk(const std::string& name) { return WalkGroup(*this, name); }
};

TEST_F(GroupWalkTest, EmptyNestedGroupsAndOrder) {
  FakeGroup& top = Group("Top");
  Nest(top, Group("Empty"));
  Account(top, "ann");
  EXPECT_EQ(Walk("Top"), 0);
  EXPECT_EQ(Output(), "Group does not contain any users\nann@corp.example\n");
  EXPECT_EQ(state.errorCount, 1);

  // The account first: the count is process-wide, so no message at all.
  RunHarness h;
  PrepareWalk(h);
  FakeGroup& other = h.directory.AddGroup("WinNT://CORP/Other", "Other");
  h.directory.AddUser("ann", kStaff, "ann@corp.example", kMarch14);
  other.members.push_back({"WinNT://CORP/ann", "ann"});
  h.directory.AddGroup("WinNT://CORP/Empty", "Empty");
  other.members.push_back({"WinNT://CORP/Empty", "Empty"});
  EXPECT_EQ(WalkGroup(h, "Other"), 0);
  EXPECT_EQ(h.Output(), "ann@corp.example\n");
  EXPECT_EQ(h.state.errorCount, 0);
}

TEST_F(GroupWalkTest, TwoEmptyNestedGroupsGiveThreeMessages) {
  FakeGroup& top = Group("Top");
  Nest(top, Group("E1"));
  Nest(top, Group("E2"));
  EXPECT_EQ(Walk("Top"), 0);
  EXPECT_EQ(Output(), "Group does not contain any users\nGroup does not contain any users\nGroup does not contain any users\n");
  EXPECT_EQ(state.errorCount, 3);
}

TEST_F(GroupWalkTest, MembersOfOtherDomainsAreSkipped) {
  FakeGroup& top = Group("Top");
  top.members.push_back({"WinNT://OTHERDOM/jsmith", "jsmith"});
  top.members.push_back({"WinNT://corp/ann", "ann"});
  top.members.push_back({"WinNT://CORP/PC01/localuser", "localuser"});
  top.members.push_back({"WinNT://S-1-5-21-1-2-3-500", "S-1-5-21-1-2-3-500"});
  top.members.push_back({"short", "short"});
  EXPECT_EQ(Walk("Top"), 0);
  EXPECT_EQ(Output(),
            "Member OTHERDOM/jsmith skipped - not the CORP domain\n"
            "Member corp/ann skipped - not the CORP domain\n"
            "Member CORP/PC01/localuser skipped - not the CORP domain\n"
            "Member S-1-5-21-1-2-3-500 skipped - not the CORP domain\n"
            "Member short skipped - not the CORP domain\n");
  EXPECT_EQ(state.errorCount, 0);
  EXPECT_TRUE(directory.filters.empty());
}

TEST_F(GroupWalkTest, BatchesOfOneHundred) {
  FakeGroup& big = Group("Big");
  for (int i = 0; i < 250; ++i) Account(big, "user" + std::to_string(i));
  EXPECT_EQ(Walk("Big"), 0);
  EXPECT_EQ(directory.filters.size(), 250u);
}

TEST_F(GroupWalkTest, FailingNestedWalkCutsTheRestOfItsBatch) {
  FakeGroup& big = Group("Big");
  for (int i = 0; i < 9; ++i) Account(big, "a" + std::to_string(i));
  FakeGroup& broken = Group("Broken");
  Nest(big, broken);
  for (int i = 10; i < 150; ++i) Account(big, "a" + std::to_string(i));
  directory.Fail(Op::GetAdsPath, E_FAIL, "Broken");
  EXPECT_EQ(Walk("Big"), 1);
  // Entries 1-9, the failing 10th, then the second batch (entries 101-150).
  EXPECT_EQ(directory.filters.size(), 9u + 50u);
  EXPECT_NE(Output().find("ProcessGroup: get_ADsPath failed\n"), std::string::npos);
}

TEST_F(GroupWalkTest, SelfContainingGroupsEnd) {
  FakeGroup& a = Group("A");
  FakeGroup& b = Group("B");
  FakeGroup& c = Group("C");
  Account(a, "ann");
  Nest(a, b);
  Nest(b, c);
  Account(c, "bob");
  Account(c, "ann");
  Nest(c, a);
  Nest(a, a);
  state.options.debug = true;
  EXPECT_EQ(Walk("A"), 0);
  const std::string o = Output();
  EXPECT_NE(o.find("Group CORP/A skipped - it is already being walked\n"), std::string::npos);
  EXPECT_EQ(directory.filters.size(), 3u);
  EXPECT_EQ(state.errorCount, 0);
}

TEST_F(GroupWalkTest, DebugLinesAndFailureRows) {
  FakeGroup& top = Group("Top");
  Account(top, "ann");
  state.options.debug = true;
  state.options.quiet = false;
  EXPECT_EQ(Walk("Top"), 0);
  EXPECT_EQ(Output(),
            "Enumerating Group: WinNT://CORP/Top\n"
            "Member ADSPath: WinNT://CORP/ann\n"
            "Member Name: ann\n"
            "Calling FindUsers(pC,(userPrincipalName=ann@corp.example))\n"
            "Filter: (&(objectClass=user)(objectCategory=person)(userPrincipalName=ann@corp.example))\n"
            "ann@corp.example -- ann\n  DN: CN=ann,OU=Staff,DC=corp,DC=example\n"
            "  Last change: 3/14/2003 9:26:53 AM  (190.1 days)\n\n");

  struct Case {
    Op op;
    std::string key;
    int32_t result;
    std::string output;
    int errors;
  };
  const Case cases[] = {
      {Op::GetAdsPath, "Top", E_FAIL, "ProcessGroup: get_ADsPath failed\n", 0},
      {Op::Members, "", 0, "Members failed\nGroup does not contain any users\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.op));
    RunHarness h;
    PrepareWalk(h);
    FakeGroup& g = h.directory.AddGroup("WinNT://CORP/Top", "Top");
    h.directory.AddUser("ann", kStaff, "ann@corp.example", kMarch14);
    g.members.push_back({"WinNT://CORP/ann", "ann"});
    h.directory.Fail(c.op, E_FAIL, c.key);
    EXPECT_EQ(WalkGroup(h, "Top"), c.result);
    EXPECT_EQ(h.Output(), c.output);
    EXPECT_EQ(h.state.errorCount, c.errors);
  }
}

TEST_F(GroupWalkTest, DomainAdminsGate) {
  FakeGroup& admins = Group("Domain Admins");
  FakeGroup& nestedAdmins = Group("Tier0");
  Nest(admins, nestedAdmins);
  nestedAdmins.members.push_back({"WinNT://CORP/boss", "boss"});
  FakeGroup& users = Group("Domain Users");
  Account(users, "ann");
  state.options.quiet = false;

  struct Case {
    std::string group;
    std::string caller;
    bool gated;
    bool allowed;
  };
  const Case cases[] = {
      {"Domain Users", "boss", true, true},
      {"domain users", "ann", true, false},
      {"DOMAIN USERS", "ann", true, false},
      {"Domain Users ", "ann", false, false},
      {"Domain Admins", "ann", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.group + "/" + c.caller);
    RunHarness h;
    FakeGroup& a = h.directory.AddGroup("WinNT://CORP/Domain Admins", "Domain Admins");
    a.members.push_back({"WinNT://CORP/Tier0", "Tier0"});
    h.directory.AddGroup("WinNT://CORP/Tier0", "Tier0").members.push_back({"WinNT://CORP/boss", "boss"});
    h.directory.AddGroup("WinNT://CORP/Domain Users", "Domain Users").members.push_back({"WinNT://CORP/ann", "ann"});
    h.environment["USERNAME"] = c.caller;
    const int status = h.RunTool({"-g", c.group});
    const std::string refusal = "Sorry, " + c.caller + ", you need to be a Domain Admin to do that.\nErrors: 1 \n";
    if (c.gated && !c.allowed) {
      EXPECT_EQ(h.Output(), refusal);
      EXPECT_EQ(status, 1);
      EXPECT_TRUE(h.directory.filters.empty()) << "nothing searched";
    } else {
      EXPECT_EQ(h.Output().find("Sorry"), std::string::npos);
    }
  }

  // The gate itself: a failed bind and a failed IsMember both say no.
  state.domainName = "CORP";
  state.options.debug = true;
  EXPECT_TRUE(IsDomainAdmin(state, "boss"));
  EXPECT_FALSE(IsDomainAdmin(state, "ann"));
  EXPECT_EQ(Output(), "boss is a member of Domain Admins\nann is NOT a member of Domain Admins\n");
  out.str("");
  directory.Fail(Op::IsMember, E_FAIL, "", 0, 1);
  EXPECT_FALSE(IsDomainAdmin(state, "boss"));
  state.domainName = "%USERDOMAIN%";
  state.options.debug = false;
  EXPECT_FALSE(IsDomainAdmin(state, "boss"));
  EXPECT_EQ(Output(), "boss is NOT a member of Domain Admins\nUnable to bind to WinNT://%USERDOMAIN%/Domain Admins\n");
  EXPECT_EQ(state.errorCount, 0);
}

TEST_F(GroupWalkTest, RunDriverGateEndings) {
  environment.erase("USERNAME");
  environment["USERNAME"] = std::string(64, 'n');
  EXPECT_EQ(RunTool({"-g", "Domain Users"}), 1);
  EXPECT_EQ(Output(), "Unable to retrieve your username\nErrors: 1 \n");
  EXPECT_EQ(directory.starts, 1);
  EXPECT_EQ(directory.stops, 1);
}

}  // namespace
}  // namespace agewarden::testing
