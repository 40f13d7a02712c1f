// The shared LDAP backend over the in-memory server: paging and the
// continuation of a cut result, ranged `member` reads, groups (nested,
// primary, foreign, phantom), each through whole runs and what reached the
// server. (The gate and the caller's name are in the group walk's rows, the
// read-ahead in the list file's, the edit-safe write in the run's.)
#include <algorithm>

#include "directory/backend/sid.h"
#include "run_harness.h"

namespace agewarden::testing {
namespace {

using Fault = FakeServer::Fault;

std::string Dn(const std::string& cn) { return "CN=" + cn + "," + kStaff; }

std::string Name(int i) { return (i < 10 ? "u0" : "u") + std::to_string(i); }

// Accounts u00, u01, ... in OU=Staff; the quiet report of [from, to).
std::string Accounts(RunHarness* h, int from, int to) {
  std::string report;
  for (int i = from; i < to; ++i) {
    if (h) AddUser(h->server, Name(i), kStaff, Name(i) + "@corp.example", kMarch14);
    report += Name(i) + "@corp.example\n";
  }
  return report;
}

int Requests(const RunHarness& h, const std::string& part) {
  return static_cast<int>(std::ranges::count_if(h.server.requests, [&](const std::string& r) {
    return r.find(part) != std::string::npos;
  }));
}

// Paged, unpaged and cut, failing at a page: every account once, in pages.
TEST(Backend, PagesAndTheContinuationOfACutResult) {
  struct Row {
    LdapSettings settings;
    size_t sizeLimit;
    std::function<void(FakeServer&)> fault;
    int pages, upTo;
    std::string ending;
  };
  const Row rows[] = {
      {{.pageSize = 5, .alwaysPage = true}, 0, nullptr, 5, 23, ""},
      {{.pageSize = 5}, 7, nullptr, 5, 23, ""},  // cut at 7: on paged from the start, the 7 skipped
      {{.pageSize = 5}, 7, [](FakeServer& s) { s.Fail("page", Fault::Result, 51, 3); }, 3, 10,
       "Query failed to run. HRESULT: 8007200e\nErrors: 1 \n"},
      {{.pageSize = 5}, 0, [](FakeServer& s) { s.Fail("(objectCategory=person)) [", Fault::Silence, 4); }, 0, 4,
       "Query failed to run. HRESULT: 800705b4\nErrors: 1 \n"},
  };
  for (const Row& row : rows) {
    RunHarness h;
    Accounts(&h, 0, 23);
    h.settings = row.settings;
    h.server.sizeLimit = row.sizeLimit;
    if (row.fault) row.fault(h.server);
    EXPECT_EQ(h.Run({"-o", "Staff", "-q"}), row.ending.empty() ? 0 : 1);
    EXPECT_EQ(h.out.str(), Accounts(nullptr, 0, row.upTo) + row.ending) << row.sizeLimit;
    EXPECT_EQ(Requests(h, "page"), row.pages);
    EXPECT_EQ(h.server.connections, 1);
  }
}

// A group walk: members through `member` in slices (the server's step and
// the one asked), nested groups, the primary group, a foreign principal, a
// phantom of this domain and one of another; a member without
// sAMAccountName is named by its RDN. Each member's account search is asked
// for ahead, 100 names at a time.
TEST(Backend, GroupMembersAndTheirAccounts) {
  for (const auto& [serverStep, askedStep, memberReads] : {std::tuple{0, 0, 1}, {10, 0, 3}, {0, 7, 4}, {10, 7, 4}}) {
    RunHarness h;
    h.server.rangeStep = serverStep;
    h.settings.memberRangeStep = askedStep;
    Accounts(&h, 0, 24);
    const std::string fsp = "CN=S-1-5-21-9-9-9-1000,CN=ForeignSecurityPrincipals,DC=corp,DC=example";
    std::vector<std::string> members = {"CN=Inner,CN=Users,DC=corp,DC=example", fsp, Dn("gone"),
                                        "CN=far,CN=Users,DC=other,DC=example"};
    for (int i = 0; i < 20; ++i) members.push_back(Dn(Name(i)));
    const std::string rid = std::to_string(*ldap::SidRid(*AddGroup(h.server, "Outer", members).First("objectSid")));
    AddGroup(h.server, "Inner", {Dn("u20"), "CN=Outer,CN=Users,DC=corp,DC=example"});
    h.server.Add(fsp, {{"objectClass", {"foreignSecurityPrincipal"}}});
    for (const char* name : {"u21", "u22", "u23"}) h.server.Find(Dn(name))->attributes.push_back({"primaryGroupID", {rid}});
    std::erase_if(h.server.Find(Dn("u23"))->attributes, [](const Attribute& a) { return a.name == "sAMAccountName" || a.name == "objectSid"; });
    EXPECT_EQ(h.Run({"-g", "Outer", "-q"}), 0);
    EXPECT_EQ(h.out.str(), "Member OTHER/far skipped - not the CORP domain\nGroup CORP/Outer skipped - it is already "
              "being walked\nu20@corp.example\nMember S-1-5-21-9-9-9-1000 skipped - not the CORP domain\n" +
              Accounts(nullptr, 0, 20) + Accounts(nullptr, 21, 24)) << serverStep << " " << askedStep;
    EXPECT_EQ(Requests(h, "[objectClass,member;range="), memberReads + 1) << "Outer's reads, and Inner's one";
    EXPECT_EQ(Requests(h, "(|(userPrincipalName="), 2) << "each group's accounts in one search";
    EXPECT_EQ(Requests(h, "gone"), 2) << "the phantom looked up by its DN, then in the batch";
  }
}

}  // namespace
}  // namespace agewarden::testing
