#include "fake_directory.h"

namespace agewarden::testing {
namespace {

// A domain CORP with groups made of accounts (lower case), groups, and
// members given by their whole path.
struct Groups : RunHarness {
  FakeGroup& Group(const std::string& name, const std::vector<std::string>& members = {}) {
    FakeGroup& group = directory.groups.emplace_back("WinNT://CORP/" + name);
    for (const std::string& member : members) {
      const std::string path = member.find('/') == std::string::npos ? "WinNT://CORP/" + member : member;
      if (std::islower(member[0])) directory.AddUser(member, kStaff, member + "@corp.example", kMarch14);
      group.members.push_back({path, path.substr(path.rfind('/') + 1)});
    }
    return group;
  }
};

TEST(GroupWalk, Rows) {
  const std::string none = "Group does not contain any users\n";
  struct Case {
    std::vector<std::string> args;
    std::function<void(Groups&)> arrange;
    std::string output;
    int status;
    size_t searches;
  };
  const std::string refusal = "Sorry, ann, you need to be a Domain Admin to do that.\nErrors: 1 \n";
  const Case cases[] = {
      // The count is of the whole walk so far: an empty group before the
      // first account is reported, one after it is not.
      {{"-g", "Top", "-q"}, [](Groups& g) { g.Group("Top", {"Empty", "ann", "Empty2"}); g.Group("Empty"); g.Group("Empty2"); },
       none + "ann@corp.example\nErrors: 1 \n", 1, 1},
      {{"-g", "Top", "-q"}, [](Groups& g) { g.Group("Top", {"E1", "E2"}); g.Group("E1"); g.Group("E2"); },
       none + none + none + "Errors: 3 \n", 3, 0},
      {{"-g", "Top", "-q"},
       [](Groups& g) { g.Group("Top", {"WinNT://OTHERDOM/jsmith", "WinNT://corp/ann", "WinNT://CORP/PC01/ann"}); },
       "Member OTHERDOM/jsmith skipped - not the CORP domain\nMember corp/ann skipped - not the CORP domain\n"
       "Member CORP/PC01/ann skipped - not the CORP domain\n", 0, 0},
      {{"-g", "Top", "-q"}, [](Groups& g) { g.Group("Top", {"ann", "B", "Top"}); g.Group("B", {"C"}); g.Group("C", {"bob", "Top"}); },
       "ann@corp.example\nbob@corp.example\nGroup CORP/Top skipped - it is already being walked\n"
       "Group CORP/Top skipped - it is already being walked\n", 0, 2},
      {{"-g", "Top", "-q"}, [](Groups& g) { g.Group("Top", {"ann"}); g.directory.Fail(Op::Members, E_FAIL); },
       "Members failed\n" + none + "Errors: 1 \n", 1, 0},
      // The Domain Admins gate on Domain Users.
      {{"-g", "Domain Users", "-q"}, nullptr, "dan@corp.example\n", 0, 1},
      {{"-g", "DOMAIN USERS", "-x"}, [](Groups& g) { g.variables["USERNAME"] = "ann"; },
       "*** DEBUG MODE ***\nDomain name: CORP\nUsername: ann\nann is NOT a member of Domain Admins\n" + refusal, 1, 0},
      {{"-g", "Domain Users", "-x", "-q"}, nullptr, "*** DEBUG MODE ***\nDomain name: CORP\nUsername: boss\n"
       "boss is a member of Domain Admins\nUPNsfx: @corp.example\nContainer: LDAP://DC=corp,DC=example\n"
       "Displaying user objects in group \"Domain Users\" with passwords 180 days old or older.\n\n"
       "Enumerating Group: WinNT://CORP/Domain Users\nMember ADSPath: WinNT://CORP/dan\nMember Name: dan\n"
       "Calling FindUsers(pC,(userPrincipalName=dan@corp.example))\nFilter: (&(objectClass=user)(objectCategory=person)"
       "(userPrincipalName=dan@corp.example))\ndan@corp.example -- dan\n  DN: CN=dan,OU=Staff,DC=corp,DC=example\n"
       "  Last change: 3/14/2003 9:26:53 AM  (190.1 days)\n\n", 0, 1},
      {{"-g", "Domain Users ", "-q"}, nullptr, "Could not find Group \"Domain Users \"\nErrors: 1 \n", 1, 0},
      {{"-g", "Domain Admins", "-q"}, [](Groups& g) { g.variables["USERNAME"] = "ann"; }, "boss@corp.example\n", 0, 1},
      {{"-g", "Domain Users", "-q"}, [](Groups& g) { g.directory.Fail(Op::IsMember, E_FAIL); },
       "Sorry, boss, you need to be a Domain Admin to do that.\nErrors: 1 \n", 1, 0},
      {{"-g", "Domain Users", "-q"}, [](Groups& g) { g.directory.Fail(Op::GetGroup, S_FALSE, "Admins"); },
       "Unable to bind to WinNT://CORP/Domain Admins\nSorry, boss, you need to be a Domain Admin to do that.\n"
       "Errors: 1 \n", 1, 0},
      {{"-g", "Domain Users"}, [](Groups& g) { g.variables["USERNAME"] = std::string(64, 'n'); },
       "Unable to retrieve your username\nErrors: 1 \n", 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    Groups g;
    g.Group("Domain Admins", {"boss"});
    g.Group("Domain Users", {"dan"});
    g.variables["USERNAME"] = "boss";
    if (c.arrange) c.arrange(g);
    EXPECT_EQ(g.Run(c.args), c.status);
    EXPECT_EQ(g.out.str(), c.output);
    EXPECT_EQ(g.directory.filters.size(), c.searches);
    EXPECT_EQ(g.directory.starts, g.directory.stops);
  }
}

TEST(GroupWalk, FailingNestedWalkCutsTheRestOfItsBatchAndOfTheEnclosingOnes) {
  Groups g;
  std::vector<std::string> big;
  for (int i = 1; i <= 150; ++i) big.push_back(i == 10 ? "Mid" : "a" + std::to_string(i));
  g.Group("Big", big);
  g.Group("Mid", {"m1", "Broken", "m2"});
  g.Group("Broken", {"b1"}).pathUnreadable = true;
  EXPECT_EQ(g.Run({"-g", "Big", "-q"}), 0);
  // Entries 1-9 of Big, m1, then the second batch of Big (entries 101-150).
  EXPECT_EQ(g.directory.filters.size(), 9u + 1u + 50u);
  EXPECT_NE(g.out.str().find("\nm1@corp.example\nProcessGroup: get_ADsPath failed\na101@corp.example\n"), std::string::npos);
}

}  // namespace
}  // namespace agewarden::testing
