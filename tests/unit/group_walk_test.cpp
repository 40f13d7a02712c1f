#include "run_harness.h"

namespace agewarden::testing {
namespace {

// Groups of CORP made of accounts (lower case) and groups (upper case); an
// existing group is given its members. (Members of other domains are in the
// backend's rows.) The backend sorts each group's members.
using GroupList = std::vector<std::pair<std::string, std::vector<std::string>>>;

std::function<void(RunHarness&)> Groups(const GroupList& groups) {
  return [=](RunHarness& h) {
    for (const auto& [name, members] : groups) {
      std::vector<std::string> dns;
      for (const std::string& member : members) {
        dns.push_back("CN=" + member + "," + (std::islower(member[0]) ? kStaff : kUsers));
        if (std::islower(member[0]) && !h.server.Find(dns.back())) {
          AddUser(h.server, member, kStaff, member + "@corp.example", kMarch14);
        }
      }
      if (Entry* group = h.server.Find("CN=" + name + "," + kUsers)) {
        group->attributes.push_back({"member", dns});
      } else {
        AddGroup(h.server, name, dns);
      }
    }
  };
}

void DomainGroups(RunHarness& h) {
  // Accounts without a UPN that the Domain Admins gate may meet: an admin
  // through a nested group (the DC's tokenGroups hold the primary group
  // too), names that filters must escape, one known by its enterprise
  // principal.
  for (const std::string cn : {"ann", "nested", "star", "nul", "jdoe2"}) {
    AddUser(h.server, cn, kStaff, cn == "ann" ? "ann@corp.example" : cn == "jdoe2" ? "john.doe@corp.example" : "", kMarch14);
  }
  h.server.Find("CN=star," + std::string(kStaff))->attributes[3].values = {"a*(b)\\c"};
  h.server.Find("CN=nul," + std::string(kStaff))->attributes[3].values = {std::string("nu\0l", 4)};
  Groups({{"Domain Admins", {"boss", "Admins In"}}, {"Domain Users", {"dan"}}, {"Admins In", {"nested"}}})(h);
}

TEST(GroupWalk, Rows) {
  const std::string none = "Group does not contain any users\n";
  const std::string sorry = "you need to be a Domain Admin to do that.\nErrors: 1 \n";
  const auto caller = [](const std::string& name) { return [=](RunHarness& h) { h.variables["USERNAME"] = name; }; };
  const auto unset = [](RunHarness& h) { h.variables.clear(); };
  const auto as = [](const std::string& principal) {
    return [=](RunHarness& h) { h.variables.clear(), h.server.principal = principal; };
  };
  const std::vector<std::string> top = {"-g", "Top", "-q"};
  CheckRuns({
      // The count is of the whole walk so far: an empty group before the
      // first account is reported, one after it is not.
      {top, Groups({{"Top", {"Aempty", "bob", "Cempty"}}, {"Aempty", {}}, {"Cempty", {}}}),
       none + "bob@corp.example\nErrors: 1 \n", 1},
      {{"-g", "Domain Admins", "-q"}, [](RunHarness& h) { h.server.Fail("member;range=0-*", FakeServer::Fault::Refuse, E_FAIL); },
       "Members failed\n" + none + "Errors: 1 \n", 1},
      // The Domain Admins gate on Domain Users.
      {{"-g", "DOMAIN USERS", "-x"}, caller("ann"),
       "*** DEBUG MODE ***\nDomain name: CORP\nUsername: ann\nann is NOT a member of Domain Admins\nSorry, ann, " + sorry, 1},
      // Without USERDOMAIN and USERNAME: the names the directory gives.
      {{"-g", "Domain Users", "-x", "-q"}, unset, "*** DEBUG MODE ***\nDomain name: CORP\nUsername: boss\n"
       "boss is a member of Domain Admins\nUPNsfx: @corp.example\nContainer: LDAP://DC=corp,DC=example\n"
       "Displaying user objects in group \"Domain Users\" with passwords 180 days old or older.\n\n"
       "Enumerating Group: WinNT://CORP/Domain Users\nMember ADSPath: WinNT://CORP/dan\nMember Name: dan\n"
       "Calling FindUsers(pC,(userPrincipalName=dan@corp.example))\nFilter: (&(objectClass=user)(objectCategory=person)"
       "(userPrincipalName=dan@corp.example))\ndan@corp.example -- dan\n  DN: CN=dan,OU=Staff,DC=corp,DC=example\n"
       "  Last change: 3/14/2003 9:26:53 AM  (190.1 days)\n\n", 0},
      {{"-g", "Domain Users ", "-q"}, nullptr, "Could not find Group \"Domain Users \"\nErrors: 1 \n", 1},
      {{"-g", "Domain Admins", "-q"}, caller("ann"), "boss@corp.example\n", 0},
      {{"-g", "Domain Users", "-q"}, [](RunHarness& h) { h.server.Fail("Domain Admins)", FakeServer::Fault::Lose); },
       "Unable to bind to WinNT://CORP/Domain Admins\nSorry, boss, you need to be a Domain Admin to do that.\n"
       "Errors: 1 \n", 1},
      {{"-g", "Domain Users"}, caller(std::string(64, 'n')), "Unable to retrieve your username\nErrors: 1 \n", 1},
      // The caller is the account of the bind's principal, as the KDC maps
      // it; the DC tells its groups (tokenGroups).
      {{"-g", "Domain Users", "-q"}, as("nested@CORP.EXAMPLE"), "dan@corp.example\n", 0},
      {{"-g", "Domain Users"}, as("john.doe\\@corp.example@CORP.EXAMPLE"), "Sorry, jdoe2, " + sorry, 1},
      {{"-g", "Domain Users"}, as("a*(b)\\\\c@CORP.EXAMPLE"), "Sorry, a*(b)\\c, " + sorry, 1},
      {{"-g", "Domain Users"}, as(std::string("nu\0l@CORP.EXAMPLE", 17)), "Sorry, " + std::string("nu\0l", 4) + ", " + sorry, 1},
      {{"-g", "Domain Users"}, [&](RunHarness& h) { as("nested@CORP.EXAMPLE")(h); h.server.tokenGroups = false; },
       "Sorry, nested, " + sorry, 1},
      {{"-g", "Domain Users"}, as("nested@OTHER.REALM"), "Unable to retrieve your username\nErrors: 1 \n", 1},
      {{"-g", "Domain Users"}, as(""), "Unable to retrieve your username\nErrors: 1 \n", 1},
      {top, [&](RunHarness& h) { unset(h); h.server.Fail("nETBIOSName", FakeServer::Fault::Lose); },
       "Unable to retrieve your domain name\nErrors: 1 \n", 1},
      // A domain typed in other letter case is the directory's, in its
      // spelling: its accounts are walked.
      {top, [](RunHarness& h) { Groups({{"Top", {"ann"}}})(h); h.variables["USERDOMAIN"] = "cOrP"; }, "ann@corp.example\n", 0},
  }, DomainGroups);
}

}  // namespace
}  // namespace agewarden::testing
