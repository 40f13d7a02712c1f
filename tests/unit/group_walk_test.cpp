#include "sources/group_walk.h"

#include <cctype>
#include <functional>

#include "run_fixture.h"

namespace agewarden::testing {
namespace {

// A domain CORP with groups made of accounts (lower case) and groups.
struct Groups : RunHarness {
  FakeGroup& Group(const std::string& name, const std::vector<std::string>& members = {}) {
    FakeGroup& group = directory.FindGroup("WinNT://CORP/" + name) ? *directory.FindGroup("WinNT://CORP/" + name)
                                                                   : directory.AddGroup("WinNT://CORP/" + name);
    for (const std::string& member : members) {
      if (std::islower(static_cast<unsigned char>(member[0])) && !directory.FindObject("CN=" + member + "," + kStaff)) {
        directory.AddUser(member, kStaff, member + "@corp.example", kMarch14);
      }
      group.members.push_back({"WinNT://CORP/" + member, member});
    }
    return group;
  }
};

TEST(GroupWalk, EmptyGroupsOtherDomainsAndCycles) {
  const std::string none = "Group does not contain any users\n";
  struct Case {
    std::function<void(Groups&)> arrange;
    std::string output;  // quiet, errors line included
    int status;
    size_t searches;
  };
  const Case cases[] = {
      // The count is of the whole walk so far: an empty group before the
      // first account is reported, one after it is not.
      {[](Groups& g) { g.Group("Top", {"Empty", "ann", "Empty2"}); g.Group("Empty"); g.Group("Empty2"); },
       none + "ann@corp.example\nErrors: 1 \n", 1, 1},
      {[](Groups& g) { g.Group("Top", {"E1", "E2"}); g.Group("E1"); g.Group("E2"); },
       none + none + none + "Errors: 3 \n", 3, 0},
      {[](Groups& g) {
         for (const char* path : {"WinNT://OTHERDOM/jsmith", "WinNT://corp/ann", "WinNT://CORP/PC01/localuser",
                                  "WinNT://S-1-5-21-1-2-3-500", "short"}) {
           const std::string p = path;
           g.Group("Top").members.push_back({p, p.substr(p.rfind('/') + 1)});
         }
       },
       "Member OTHERDOM/jsmith skipped - not the CORP domain\nMember corp/ann skipped - not the CORP domain\n"
       "Member CORP/PC01/localuser skipped - not the CORP domain\n"
       "Member S-1-5-21-1-2-3-500 skipped - not the CORP domain\nMember short skipped - not the CORP domain\n", 0, 0},
      {[](Groups& g) { g.Group("Top", {"ann", "B", "Top"}); g.Group("B", {"C"}); g.Group("C", {"bob", "ann", "Top"}); },
       "ann@corp.example\nbob@corp.example\nann@corp.example\nGroup CORP/Top skipped - it is already being walked\n"
       "Group CORP/Top skipped - it is already being walked\n", 0, 3},
      {[](Groups& g) { g.Group("Top", {"ann"}); g.directory.Fail(Op::Members, E_FAIL); },
       "Members failed\n" + none + "Errors: 1 \n", 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    Groups g;
    c.arrange(g);
    EXPECT_EQ(g.Run({"-g", "Top", "-q"}), c.status);
    EXPECT_EQ(g.Output(), c.output);
    EXPECT_EQ(g.directory.filters.size(), c.searches);
  }
}

TEST(GroupWalk, FailingNestedWalkCutsTheRestOfItsBatchAndOfTheEnclosingOnes) {
  Groups g;
  std::vector<std::string> first, second;
  for (int i = 0; i < 9; ++i) first.push_back("a" + std::to_string(i));
  first.push_back("Mid");
  for (int i = 10; i < 150; ++i) first.push_back("a" + std::to_string(i));
  g.Group("Big", first);
  g.Group("Mid", {"m1", "Broken", "m2"});
  g.Group("Broken", {"b1"}).pathUnreadable = true;
  EXPECT_EQ(g.Run({"-g", "Big", "-q"}), 0);
  // Entries 1-9 of Big, m1, then the second batch of Big (entries 101-150).
  EXPECT_EQ(g.directory.filters.size(), 9u + 1u + 50u);
  EXPECT_EQ(g.directory.filters[9], "(&(objectClass=user)(objectCategory=person)(userPrincipalName=m1@corp.example))");
  EXPECT_EQ(g.directory.filters[10].find("a100@"), 62u);
  EXPECT_NE(g.Output().find("\nProcessGroup: get_ADsPath failed\na100@corp.example\n"), std::string::npos);
}

TEST(GroupWalk, DebugLines) {
  Groups g;
  g.Group("Top", {"ann"});
  EXPECT_EQ(g.Run({"-g", "Top", "-x"}), 0);
  EXPECT_NE(g.Output().find("Enumerating Group: WinNT://CORP/Top\nMember ADSPath: WinNT://CORP/ann\nMember Name: ann\n"
                            "Calling FindUsers(pC,(userPrincipalName=ann@corp.example))\n"
                            "Filter: (&(objectClass=user)(objectCategory=person)(userPrincipalName=ann@corp.example))\n"
                            "ann@corp.example -- ann\n"),
            std::string::npos);
}

TEST(GroupWalk, DomainAdminsGate) {
  struct Case {
    std::vector<std::string> args;
    std::string caller;
    std::function<void(Groups&)> arrange;
    std::string output;
    int status;
  };
  const std::string refusal = "Sorry, ann, you need to be a Domain Admin to do that.\nErrors: 1 \n";
  const Case cases[] = {
      {{"-g", "Domain Users", "-q"}, "boss", nullptr, "ann@corp.example\n", 0},
      {{"-g", "domain users", "-q"}, "ann", nullptr, refusal, 1},
      {{"-g", "DOMAIN USERS", "-x"}, "ann", nullptr,
       "*** DEBUG MODE ***\nDomain name: CORP\nUsername: ann\nann is NOT a member of Domain Admins\n" + refusal, 1},
      {{"-g", "Domain Users", "-x", "-q"}, "boss", nullptr, "*** DEBUG MODE ***\nDomain name: CORP\nUsername: boss\n"
       "boss is a member of Domain Admins\n", 0},
      {{"-g", "Domain Users ", "-q"}, "ann", nullptr, "Could not find Group \"Domain Users \"\nErrors: 1 \n", 1},
      {{"-g", "Domain Admins", "-q"}, "ann", nullptr, "", 0},
      {{"-g", "Domain Users", "-q"}, "boss", [](Groups& g) { g.directory.Fail(Op::IsMember, E_FAIL); },
       "Sorry, boss, you need to be a Domain Admin to do that.\nErrors: 1 \n", 1},
      {{"-g", "Domain Users", "-q"}, "ann", [](Groups& g) { g.directory.Fail(Op::GetGroup, E_FAIL, "Admins"); },
       "Unable to bind to WinNT://CORP/Domain Admins\n" + refusal, 1},
      {{"-g", "Domain Users", "-q"}, "ann", [](Groups& g) { g.directory.Fail(Op::GetGroup, S_FALSE, "Admins"); },
       "Unable to bind to WinNT://CORP/Domain Admins\n" + refusal, 1},
      {{"-g", "Domain Users"}, std::string(64, 'n'), nullptr, "Unable to retrieve your username\nErrors: 1 \n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args) + c.caller);
    Groups g;
    g.Group("Domain Admins", {"Tier0"});
    g.Group("Tier0").members.push_back({"WinNT://CORP/boss", "boss"});
    g.Group("Domain Users", {"ann"});
    g.environment["USERNAME"] = c.caller;
    if (c.arrange) c.arrange(g);
    EXPECT_EQ(g.Run(c.args), c.status);
    const std::string output = g.Output();
    EXPECT_EQ(output.substr(0, c.output.size()), c.output);
    if (c.status == 1) {
      EXPECT_EQ(output, c.output);
      EXPECT_TRUE(g.directory.filters.empty()) << "nothing searched";
    }
    EXPECT_EQ(g.directory.starts, g.directory.stops);
  }
}

}  // namespace
}  // namespace agewarden::testing
