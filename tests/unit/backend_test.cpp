// The shared LDAP backend over the in-memory server: paging and the
// continuation of a cut result, ranged `member` reads, groups (nested,
// primary, foreign, phantom), read-ahead and the edit-safe write, each
// through whole runs and what reached the server. (The gate and the caller's
// name are in the group walk's rows.)
#include <algorithm>
#include <set>

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
      {{.pageSize = 5}, 0, nullptr, 0, 23, ""},
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

// Read ahead: a list of 1,000 names is asked 100 at a time, four searches
// in flight, and gives what one search per name gives; names that cannot
// share a search, and rows the server may have matched by its own rules,
// are searched on their own; a write since a row was read is seen.
TEST(Backend, ReadAheadGivesWhatOneSearchPerNameGives) {
  const std::string path = ::testing::TempDir() + "agewarden-ahead.txt";
  const auto run = [&](const std::string& names, std::vector<std::string> args, std::function<void(RunHarness&)> arrange) {
    RunHarness h;
    AddUser(h.server, "ann", kStaff, "ann@corp.example", kMarch14);
    AddUser(h.server, "jose", kStaff, "jos\xC3\xA9@corp.example", kMarch14, 66048);
    AddUser(h.server, "star", kStaff, "a*b@corp.example", kMarch14);
    h.server.alsoEqual = [](std::string_view stored, std::string_view asserted) {
      return stored == "jos\xC3\xA9@corp.example" && asserted == "JOS\xC3\x89@corp.example";
    };
    if (arrange) arrange(h);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(names.data(), 1, names.size(), file);
    std::fclose(file);
    args.insert(args.begin(), {"-l", path});
    const int status = h.Run(args);
    return std::tuple{h.out.str() + std::to_string(status), h.server.writes, h.server.requests, h.server.maxInFlight};
  };
  std::string thousand, expected;
  for (int i = 0; i < 1000; ++i) thousand += i % 100 ? "n" + std::to_string(i) + " " : "ann ";
  for (int i = 0; i < 1000; ++i) expected += i % 100 ? "User object n" + std::to_string(i) + " could not be found.\n\n" : "ann@corp.example\n";
  const auto [out, writes, requests, inFlight] = run(thousand, {"-q"}, nullptr);
  EXPECT_EQ(out, expected + "Errors: 990 \n254");
  EXPECT_EQ(requests.size(), 12u) << "the root DSE, the container, ten batches";
  EXPECT_EQ(inFlight, 4);
  // Names that must be searched on their own give the same as without batches.
  const std::string odd = "ann jos\xC3\xA9 JOS\xC3\x89 a*b ann x)(y ANN\n";
  const std::string alone = "ann@corp.example\njos\xC3\xA9@corp.example\njos\xC3\xA9@corp.example\na*b@corp.example\n"
                            "ann@corp.example\nCould not execute query. An invalid filter was specified.\nann@corp.example\n";
  using Arrange = std::function<void(RunHarness&)>;
  for (const Arrange& fault : {Arrange{}, Arrange{[](RunHarness& h) { h.server.Fail("(|(userPrincipalName=", Fault::Result, 51, 0); }}}) {
    const auto [got, changed, sent, most] = run(odd, {"-q", "-t"}, fault);
    EXPECT_EQ(got, alone + "Errors: 1 \n1");
    std::string each;
    for (const char* name : {"ann", "jose", "jose", "star", "ann", "ann"}) each += name + std::string(": pwdLastSet=0 userAccountControl=512;");
    EXPECT_EQ(changed, each);
    EXPECT_EQ(std::ranges::count_if(sent, [](const std::string& r) { return r.find("(userPrincipalName=ann@") != std::string::npos; }),
              fault ? 3 : 2) << "ann again after its write: its own search";
  }
  // A second report of an account written by this run shows the write.
  const auto [twice, w, r, m] = run("ann ann", {"-t"}, nullptr);
  EXPECT_NE(twice.find("Last change: 1/1/1601 12:00:00 AM"), std::string::npos);
  std::remove(path.c_str());
}

// The forced change is one edit-safe write: a userAccountControl changed by
// someone else since it was read, or one that is no number, writes nothing.
TEST(Backend, ForcedChangeWritesOnlyWhatItRead) {
  const std::string u = " for user ann@corp.example";
  for (const auto& [arrange, out] : std::vector<std::pair<std::function<void(RunHarness&)>, std::string>>{
           {[](RunHarness& h) {
              h.server.beforeAnswer = [&h](const std::string& request) {
                if (request.find("[objectClass,userAccountControl]") != std::string::npos)
                  h.server.Find(Dn("ann"))->attributes[5].values = {"514"};
              };
            }, "Update" + u + " failed\nErrors: 1 \n"},
           {[](RunHarness& h) { h.server.Find(Dn("ann"))->attributes[5].values = {"x"}; },
            "Get userAccountControl" + u + " failed\nErrors: 1 \n"},
       }) {
    RunHarness h;
    AddUser(h.server, "ann", kStaff, "ann@corp.example", kMarch14, 66048);
    arrange(h);
    EXPECT_EQ(h.Run({"-u", "ann", "-q", "-t"}), 1);
    EXPECT_EQ(h.out.str(), "ann@corp.example\n" + out);
    EXPECT_EQ(h.server.writes, "");
  }
}

}  // namespace
}  // namespace agewarden::testing
