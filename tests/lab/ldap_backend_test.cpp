// The LDAP backend against the lab domain controller (scripts/labdc): paging
// and its fallback, one connection per run, column naming and typing, status
// codes, ranged retrieval, WinNT paths, membership, and the conditional
// commit of SetInfo. Every test skips when the lab's environment
// (eval "$(scripts/labdc env)") is not set.
//
// Some conditions live in libldap's process-wide configuration, read once
// from the environment (a server that is not there, no ticket, a weak SASL
// layer, a server that stops answering). Those run in a child process: the
// parent starts this same test binary on one LdapChild test with the
// environment changed, and checks its outcome and that it wrote nothing to
// standard error.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "directory/ldap_directory.h"
#include "directory/ldap_status.h"

namespace agewarden {
namespace {

std::string Env(const char* name, const char* fallback = "") {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

std::string Base() { return Env("LAB_BASE", "DC=agewarden,DC=lab"); }

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Hex(HRESULT status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

#define EXPECT_STATUS(expected, actual) EXPECT_EQ(Hex(expected), Hex(actual))
#define ASSERT_STATUS(expected, actual) ASSERT_EQ(Hex(expected), Hex(actual))

std::string FirstText(const Column& column) {
  if (column.values.empty()) return {};
  if (const auto* text = std::get_if<std::string>(&column.values.front())) return *text;
  return {};
}

// Every row's value of one text column; the status that ended the rows.
HRESULT CollectColumn(SearchHandle& handle, const std::string& name, std::vector<std::string>& values) {
  values.clear();
  HRESULT status = handle.GetFirstRow();
  while (status == S_OK) {
    Column column;
    if (Succeeded(handle.GetColumn(name, column))) values.push_back(FirstText(column));
    status = handle.GetNextRow();
  }
  return status;
}

// The ADsPaths and names of a group's members, batch by batch.
struct MemberListing {
  std::vector<std::string> paths;
  std::vector<std::string> names;
  std::vector<uint32_t> batches;
};

HRESULT ListMembers(AdsGroup& group, uint32_t batchSize, MemberListing& listing) {
  std::vector<GroupMember> members;
  const HRESULT status = group.Members(members);
  if (Failed(status)) return status;
  for (size_t start = 0; start < members.size(); start += batchSize) {
    listing.batches.push_back(static_cast<uint32_t>(std::min<size_t>(batchSize, members.size() - start)));
  }
  for (const GroupMember& member : members) {
    listing.paths.push_back(member.path);
    listing.names.push_back(member.name);
  }
  return S_OK;
}

class LdapBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("LAB_DIR").empty()) GTEST_SKIP() << "LAB_DIR is not set: run under eval \"$(scripts/labdc env)\"";
  }

  static std::unique_ptr<LdapDirectory> Open(const LdapSettings& settings = {}) {
    auto directory = CreateLdapDirectory(settings);
    directory->Start();
    return directory;
  }

  // Every sAMAccountName of OU=Bulk, with the status that ended the rows.
  static HRESULT BulkNames(LdapDirectory& directory, std::vector<std::string>& names) {
    std::unique_ptr<DirectorySearch> search;
    HRESULT status = directory.OpenSearch("LDAP://OU=Bulk," + Base(), search);
    if (Failed(status)) return status;
    std::unique_ptr<SearchHandle> handle;
    status = search->ExecuteSearch("(&(objectClass=user)(objectCategory=person))", {"sAMAccountName"}, handle);
    if (Failed(status)) return status;
    return CollectColumn(*handle, "sAMAccountName", names);
  }

  static void ExpectAllBulkOnce(const std::vector<std::string>& names) {
    EXPECT_EQ(names.size(), 35u);
    const std::set<std::string> unique(names.begin(), names.end());
    EXPECT_EQ(unique.size(), names.size()) << "an entry was returned twice";
    for (int i = 1; i <= 35; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "bulk%03d", i);
      EXPECT_EQ(unique.count(name), 1u) << name << " is missing";
    }
  }
};

TEST_F(LdapBackend, AlwaysPagedSearchReturnsEveryEntryOnce) {
  LdapSettings settings;
  settings.alwaysPage = true;
  settings.pageSize = 7;
  auto directory = Open(settings);
  std::vector<std::string> names;
  EXPECT_STATUS(S_ADS_NOMORE_ROWS, BulkNames(*directory, names));
  ExpectAllBulkOnce(names);
  EXPECT_GE(directory->Statistics().pages, 5);
}

TEST_F(LdapBackend, UnpagedSearchCutByTheServerGoesOnPaged) {
  LdapSettings settings;
  settings.unpagedSizeLimit = 10;  // the server ends the unpaged phase after 10 entries
  settings.pageSize = 7;
  auto directory = Open(settings);
  std::vector<std::string> names;
  EXPECT_STATUS(S_ADS_NOMORE_ROWS, BulkNames(*directory, names));
  ExpectAllBulkOnce(names);
  // The container check and the unpaged search, then 5 or 6 pages.
  const LdapStatistics& statistics = directory->Statistics();
  EXPECT_GE(statistics.pages, 5);
  EXPECT_EQ(statistics.searches - statistics.pages, 2);
}

TEST_F(LdapBackend, UnpagedSearchThatFitsIsNotPaged) {
  auto directory = Open();
  std::vector<std::string> names;
  EXPECT_STATUS(S_ADS_NOMORE_ROWS, BulkNames(*directory, names));
  ExpectAllBulkOnce(names);
  EXPECT_EQ(directory->Statistics().pages, 0);
}

TEST_F(LdapBackend, TheObjectGuidAskedForDedupingIsNotAColumn) {
  LdapSettings settings;
  settings.unpagedSizeLimit = 3;
  auto directory = Open(settings);
  std::unique_ptr<DirectorySearch> search;
  ASSERT_STATUS(S_OK, directory->OpenSearch("LDAP://OU=Bulk," + Base(), search));
  std::unique_ptr<SearchHandle> handle;
  ASSERT_STATUS(S_OK, search->ExecuteSearch("(objectClass=user)", {"sAMAccountName"}, handle));
  HRESULT status = handle->GetFirstRow();
  int rows = 0;
  while (status == S_OK) {
    ++rows;
    std::vector<std::string> names;
    std::string name;
    while (handle->GetNextColumnName(name) == S_OK) names.push_back(name);
    EXPECT_EQ(names, std::vector<std::string>{"sAMAccountName"});
    status = handle->GetNextRow();
  }
  EXPECT_STATUS(S_ADS_NOMORE_ROWS, status);
  EXPECT_EQ(rows, 35);
}

TEST_F(LdapBackend, OneConnectionAndOneBindForARun) {
  auto directory = Open();
  std::unique_ptr<AdsObject> rootDse;
  ASSERT_STATUS(S_OK, directory->OpenObject("LDAP://rootDSE", rootDse));
  Variant context;
  ASSERT_STATUS(S_OK, rootDse->Get("defaultNamingContext", context));
  ASSERT_TRUE(std::holds_alternative<std::string>(context));
  EXPECT_EQ(Lower(std::get<std::string>(context)), Lower(Base()));

  std::unique_ptr<DirectorySearch> search;
  ASSERT_STATUS(S_OK, directory->OpenSearch("LDAP://" + Base(), search));
  for (const char* filter : {"(sAMAccountName=staff200a)", "(sAMAccountName=bulk*)"}) {
    std::unique_ptr<SearchHandle> handle;
    ASSERT_STATUS(S_OK, search->ExecuteSearch(filter, {"name"}, handle));
    std::vector<std::string> names;
    EXPECT_STATUS(S_ADS_NOMORE_ROWS, CollectColumn(*handle, "name", names));
    EXPECT_FALSE(names.empty());
  }
  std::unique_ptr<AdsGroup> group;
  ASSERT_STATUS(S_OK, directory->GetGroup("WinNT://AGEWARDEN/Lab Group A", group));
  std::unique_ptr<AdsObject> user;
  ASSERT_STATUS(S_OK, directory->GetUser("LDAP://CN=Staff 200 A,OU=Staff," + Base(), user));

  EXPECT_EQ(directory->Statistics().connections, 1);
  EXPECT_EQ(directory->Statistics().binds, 1);
  directory->Stop();
  // Whatever outlives Stop fails cleanly rather than reconnecting.
  Variant value;
  EXPECT_STATUS(S_OK, user->Get("userAccountControl", value));
  EXPECT_STATUS(S_OK, user->Put("pwdLastSet", Variant{int32_t{0}}));
  EXPECT_STATUS(E_ADS_SERVER_DOWN, user->SetInfo());
  EXPECT_EQ(directory->Statistics().connections, 1);
}

TEST_F(LdapBackend, ColumnsAreNamedAsAskedAndLargeIntegersAreInt64) {
  auto directory = Open();
  std::unique_ptr<DirectorySearch> search;
  ASSERT_STATUS(S_OK, directory->OpenSearch("LDAP://OU=Staff," + Base(), search));
  ASSERT_STATUS(S_OK, search->SetSearchPreference(SearchScope::Subtree));
  std::unique_ptr<SearchHandle> handle;
  ASSERT_STATUS(S_OK, search->ExecuteSearch("(sAMAccountName=staff400a)",
                                            {"DISTINGUISHEDNAME", "pwdlastset", "name", "userAccountControl"}, handle));
  ASSERT_STATUS(S_OK, handle->GetFirstRow());
  std::set<std::string> names;
  std::string name;
  while (handle->GetNextColumnName(name) == S_OK) names.insert(name);
  EXPECT_EQ(names, (std::set<std::string>{"DISTINGUISHEDNAME", "pwdlastset", "name", "userAccountControl"}));

  Column column;
  ASSERT_STATUS(S_OK, handle->GetColumn("DISTINGUISHEDNAME", column));
  EXPECT_EQ(column.name, "DISTINGUISHEDNAME");
  EXPECT_EQ(Lower(FirstText(column)), Lower("CN=Staff 400 A,OU=Staff," + Base()));
  ASSERT_STATUS(S_OK, handle->GetColumn("pwdlastset", column));
  ASSERT_EQ(column.values.size(), 1u);
  ASSERT_TRUE(std::holds_alternative<int64_t>(column.values[0]));
  const int64_t ticks = std::get<int64_t>(column.values[0]);
  // 400 days old, give or take a day.
  const int64_t now = (static_cast<int64_t>(std::time(nullptr)) + 11644473600LL) * 10000000LL;
  EXPECT_NEAR(static_cast<double>(now - ticks) / 864e9, 400.0, 1.0);
  ASSERT_STATUS(S_OK, handle->GetColumn("userAccountControl", column));
  EXPECT_EQ(FirstText(column), "512");
  EXPECT_STATUS(ldap::E_ADS_COLUMN_NOT_SET, handle->GetColumn("mail", column));
  EXPECT_STATUS(S_ADS_NOMORE_ROWS, handle->GetNextRow());
}

TEST_F(LdapBackend, InvalidFilterIsReportedAsSuch) {
  auto directory = Open();
  std::unique_ptr<DirectorySearch> search;
  ASSERT_STATUS(S_OK, directory->OpenSearch("LDAP://" + Base(), search));
  for (const char* filter : {"(&(objectClass=user)", "(name=a))(", "((name=x)"}) {
    std::unique_ptr<SearchHandle> handle;
    HRESULT status = search->ExecuteSearch(filter, {"name"}, handle);
    if (Succeeded(status)) status = handle->GetFirstRow();
    EXPECT_STATUS(E_ADS_INVALID_FILTER, status) << filter;
  }
}

TEST_F(LdapBackend, MissingObjectsFailAtTheBind) {
  auto directory = Open();
  std::unique_ptr<DirectorySearch> search;
  EXPECT_STATUS(E_ADS_NO_SUCH_OBJECT, directory->OpenSearch("LDAP://OU=No Such Unit," + Base(), search));
  EXPECT_FALSE(search);
  std::unique_ptr<AdsObject> object;
  EXPECT_STATUS(E_ADS_NO_SUCH_OBJECT, directory->OpenObject("LDAP://CN=Nobody,OU=Staff," + Base(), object));
  EXPECT_STATUS(E_ADS_NO_SUCH_OBJECT, directory->GetUser("LDAP://CN=Nobody,OU=Staff," + Base(), object));
  EXPECT_STATUS(E_NOINTERFACE, directory->GetUser("LDAP://CN=Big Group,OU=Groups," + Base(), object));
  EXPECT_STATUS(E_ADS_BAD_PATHNAME, directory->GetUser("ldap://CN=Staff 200 A,OU=Staff," + Base(), object));
  // The quoted form the -o option produces names the same unit.
  EXPECT_STATUS(S_OK, directory->OpenSearch("LDAP://OU=\"Staff\"," + Base(), search));
}

TEST_F(LdapBackend, UserWithASlashInItsName) {
  auto directory = Open();
  std::unique_ptr<AdsObject> user;
  ASSERT_STATUS(S_OK, directory->GetUser("LDAP://CN=Slash/User,OU=Staff," + Base(), user));
  Variant value;
  ASSERT_STATUS(S_OK, user->Get("userAccountControl", value));
  ASSERT_TRUE(std::holds_alternative<int32_t>(value));
  EXPECT_EQ(std::get<int32_t>(value), 512);
  ASSERT_STATUS(S_OK, user->Get("pwdLastSet", value));
  EXPECT_TRUE(std::holds_alternative<int64_t>(value));
  std::string path;
  user->GetAdsPath(path);
  EXPECT_EQ(path, "LDAP://CN=Slash/User,OU=Staff," + Base());
  // Nothing recorded: nothing written.
  EXPECT_STATUS(S_OK, user->SetInfo());
  EXPECT_EQ(directory->Statistics().modifies, 0);
}

TEST_F(LdapBackend, RangedRetrievalInStepsGivesEveryMemberSorted) {
  LdapSettings stepped;
  stepped.memberRangeStep = 10;
  auto directory = Open(stepped);
  std::unique_ptr<AdsGroup> group;
  ASSERT_STATUS(S_OK, directory->GetGroup("WinNT://AGEWARDEN/Big Group", group));
  const int before = directory->Statistics().searches;
  MemberListing listing;
  ASSERT_STATUS(S_OK, ListMembers(*group, 100, listing));
  const int steppedSearches = directory->Statistics().searches - before;
  ASSERT_EQ(listing.names.size(), 35u);
  std::vector<std::string> expected;
  for (int i = 1; i <= 35; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "bulk%03d", i);
    expected.push_back(name);
  }
  EXPECT_EQ(listing.names, expected);
  EXPECT_EQ(listing.paths.front(), "WinNT://AGEWARDEN/bulk001");
  EXPECT_EQ(listing.batches, std::vector<uint32_t>{35});

  // The same group in one range: four reads (0-9, 10-19, 20-29, 30-*)
  // became one, so the stepped run made three more requests.
  auto whole = Open();
  ASSERT_STATUS(S_OK, whole->GetGroup("WinNT://AGEWARDEN/Big Group", group));
  const int wholeBefore = whole->Statistics().searches;
  MemberListing again;
  ASSERT_STATUS(S_OK, ListMembers(*group, 10, again));
  EXPECT_EQ(again.names, expected);
  EXPECT_EQ(steppedSearches - (whole->Statistics().searches - wholeBefore), 3);
  EXPECT_EQ(again.batches, (std::vector<uint32_t>{10, 10, 10, 5}));
}

TEST_F(LdapBackend, MembersOfNestedGroupsAndWhichOfThemAreGroups) {
  auto directory = Open();
  std::unique_ptr<AdsGroup> group;
  ASSERT_STATUS(S_OK, directory->GetGroup("WinNT://agewarden/Lab Group A", group));
  std::string path;
  group->GetAdsPath(path);
  EXPECT_EQ(path, "WinNT://AGEWARDEN/Lab Group A");
  MemberListing listing;
  ASSERT_STATUS(S_OK, ListMembers(*group, 100, listing));
  EXPECT_EQ(listing.names, (std::vector<std::string>{"Lab Group B", "staff200a", "staff400a"}));
  for (size_t i = 0; i < listing.paths.size(); ++i) {
    std::unique_ptr<AdsGroup> nested;
    const HRESULT status = directory->GetGroup(listing.paths[i], nested);
    EXPECT_EQ(Succeeded(status), listing.names[i] == "Lab Group B") << listing.paths[i] << " " << Hex(status);
  }

  std::unique_ptr<AdsGroup> empty;
  ASSERT_STATUS(S_OK, directory->GetGroup("WinNT://AGEWARDEN/Empty Group", empty));
  MemberListing none;
  ASSERT_STATUS(S_OK, ListMembers(*empty, 100, none));
  EXPECT_TRUE(none.names.empty());
}

TEST_F(LdapBackend, ForeignSecurityPrincipalsAreNamedBySid) {
  auto directory = Open();
  std::unique_ptr<AdsGroup> group;
  ASSERT_STATUS(S_OK, directory->GetGroup("WinNT://AGEWARDEN/Users", group));
  MemberListing listing;
  ASSERT_STATUS(S_OK, ListMembers(*group, 100, listing));
  EXPECT_EQ(listing.names, (std::vector<std::string>{"Domain Users", "S-1-5-11", "S-1-5-4"}));
  EXPECT_EQ(listing.paths,
            (std::vector<std::string>{"WinNT://AGEWARDEN/Domain Users", "WinNT://S-1-5-11", "WinNT://S-1-5-4"}));
  std::unique_ptr<AdsGroup> notAGroup;
  EXPECT_TRUE(Failed(directory->GetGroup("WinNT://S-1-5-11", notAGroup)));
}

TEST_F(LdapBackend, DomainUsersHoldsItsMembersByPrimaryGroup) {
  auto directory = Open();
  std::unique_ptr<AdsGroup> group;
  ASSERT_STATUS(S_OK, directory->GetGroup("WinNT://AGEWARDEN/Domain Users", group));
  MemberListing listing;
  ASSERT_STATUS(S_OK, ListMembers(*group, 100, listing));
  EXPECT_NE(std::find(listing.names.begin(), listing.names.end(), "staff200a"), listing.names.end());
  EXPECT_NE(std::find(listing.names.begin(), listing.names.end(), "bulk035"), listing.names.end());
  for (uint32_t batch : listing.batches) EXPECT_LE(batch, 100u);
  EXPECT_TRUE(std::is_sorted(listing.names.begin(), listing.names.end(),
                             [](const std::string& a, const std::string& b) { return Lower(a) < Lower(b); }));
  const std::set<std::string> unique(listing.names.begin(), listing.names.end());
  EXPECT_EQ(unique.size(), listing.names.size());
}

TEST_F(LdapBackend, WinNtPathsOfOtherShapesDoNotBind) {
  auto directory = Open();
  std::unique_ptr<AdsGroup> group;
  EXPECT_STATUS(E_ADS_NO_SUCH_OBJECT, directory->GetGroup("WinNT://OTHERDOM/Domain Admins", group));
  EXPECT_STATUS(E_ADS_BAD_PATHNAME, directory->GetGroup("WinNT://AGEWARDEN/DC1/Domain Admins", group));
  EXPECT_STATUS(E_ADS_BAD_PATHNAME, directory->GetGroup("WinNT://Domain Admins", group));
  EXPECT_STATUS(E_ADS_NO_SUCH_OBJECT, directory->GetGroup("WinNT://AGEWARDEN/No Such Group", group));
  EXPECT_STATUS(E_NOINTERFACE, directory->GetGroup("WinNT://AGEWARDEN/staff200a", group));
  // Filter metacharacters in a name are values, not filter syntax.
  EXPECT_STATUS(E_ADS_NO_SUCH_OBJECT, directory->GetGroup("WinNT://AGEWARDEN/Lab Group *", group));
  EXPECT_STATUS(E_ADS_NO_SUCH_OBJECT, directory->GetGroup("WinNT://AGEWARDEN/x)(objectClass=*", group));
  EXPECT_FALSE(group);
}

TEST_F(LdapBackend, IsMemberDirectNestedAndByPrimaryGroup) {
  for (const bool inChain : {true, false}) {
    SCOPED_TRACE(inChain ? "in-chain rule" : "memberOf walk");
    LdapSettings settings;
    settings.inChainRule = inChain;
    auto directory = Open(settings);
    std::unique_ptr<AdsGroup> admins;
    ASSERT_STATUS(S_OK, directory->GetGroup("WinNT://AGEWARDEN/Domain Admins", admins));
    int16_t isMember = 0;
    EXPECT_STATUS(S_OK, admins->IsMember("WinNT://AGEWARDEN/Administrator", isMember));
    EXPECT_NE(isMember, 0);
    isMember = 0;
    EXPECT_STATUS(S_OK, admins->IsMember("WinNT://AGEWARDEN/plainuser", isMember));
    EXPECT_EQ(isMember, 0);

    std::unique_ptr<AdsGroup> labA;
    ASSERT_STATUS(S_OK, directory->GetGroup("WinNT://AGEWARDEN/Lab Group A", labA));
    isMember = 0;
    EXPECT_STATUS(S_OK, labA->IsMember("WinNT://AGEWARDEN/admin400", isMember));  // through B and C
    EXPECT_NE(isMember, 0);
    isMember = 0;
    EXPECT_STATUS(S_OK, labA->IsMember("WinNT://AGEWARDEN/staff010a", isMember));
    EXPECT_EQ(isMember, 0);

    std::unique_ptr<AdsGroup> domainUsers;
    ASSERT_STATUS(S_OK, directory->GetGroup("WinNT://AGEWARDEN/Domain Users", domainUsers));
    isMember = 0;
    EXPECT_STATUS(S_OK, domainUsers->IsMember("WinNT://AGEWARDEN/staff200a", isMember));
    EXPECT_NE(isMember, 0);
    // Domain Users is in BUILTIN\Users, so its members are too.
    std::unique_ptr<AdsGroup> users;
    ASSERT_STATUS(S_OK, directory->GetGroup("WinNT://AGEWARDEN/Users", users));
    isMember = 0;
    EXPECT_STATUS(S_OK, users->IsMember("WinNT://AGEWARDEN/staff200a", isMember));
    EXPECT_NE(isMember, 0);
    isMember = 0;
    EXPECT_TRUE(Failed(admins->IsMember("WinNT://AGEWARDEN/nobody-at-all", isMember)));
    EXPECT_EQ(isMember, 0);
  }
}

// Runs ldapmodify with the lab's credentials on an LDIF text; its exit code.
int LdapModify(const std::string& ldif, std::string* output = nullptr) {
  char path[] = "/tmp/agewarden-ldif-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return -1;
  close(fd);
  std::ofstream(path) << ldif;
  const std::string log = std::string(path) + ".log";
  const int rc = std::system(("ldapmodify -Q -c -f '" + std::string(path) + "' >'" + log + "' 2>&1").c_str());
  if (output != nullptr) {
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    *output = text.str();
  }
  std::remove(path);
  std::remove(log.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// A user of its own, in a unit of its own and without a userPrincipalName
// (so that no report shows it), made for each test and removed after.
class LdapCommit : public LdapBackend {
 protected:
  static constexpr int32_t kInitialControl = 0x10222;  // normal, disabled, no password needed, never expires

  void SetUp() override {
    LdapBackend::SetUp();
    if (IsSkipped()) return;
    unit_ = "OU=Backend Commit Test," + Base();
    user_ = "CN=Commit Test User," + unit_;
    RemoveAll();
    std::string output;
    // pwdLastSet -1 stamps the time of the change, so that a commit that
    // sets 0 is seen to happen or not.
    ASSERT_EQ(0, LdapModify("dn: " + unit_ + "\nchangetype: add\nobjectClass: organizationalUnit\n\n"
                            "dn: " + user_ + "\nchangetype: add\nobjectClass: user\n"
                            "sAMAccountName: agewcommit\nuserAccountControl: " + std::to_string(kInitialControl) +
                            "\n\ndn: " + user_ + "\nchangetype: modify\nreplace: pwdLastSet\npwdLastSet: -1\n-\n",
                            &output))
        << output;
  }
  void TearDown() override {
    if (!unit_.empty()) RemoveAll();
  }
  void RemoveAll() {
    LdapModify("dn: " + user_ + "\nchangetype: delete\n\ndn: " + unit_ + "\nchangetype: delete\n");
  }

  std::string unit_;
  std::string user_;
};

TEST_F(LdapCommit, SetInfoWritesEveryChangeInOneModify) {
  auto directory = Open();
  std::unique_ptr<AdsObject> user;
  ASSERT_STATUS(S_OK, directory->GetUser("LDAP://" + user_, user));
  Variant control;
  ASSERT_STATUS(S_OK, user->Get("userAccountControl", control));
  ASSERT_EQ(std::get<int32_t>(control), kInitialControl);
  ASSERT_STATUS(S_OK, user->Put("pwdLastSet", Variant{int32_t{0}}));
  ASSERT_STATUS(S_OK, user->Put("userAccountControl", Variant{int32_t{kInitialControl & ~0x10000}}));
  ASSERT_STATUS(S_OK, user->SetInfo());
  EXPECT_EQ(directory->Statistics().modifies, 1);
  // The read values now are the written ones; a second SetInfo writes nothing.
  ASSERT_STATUS(S_OK, user->Get("userAccountControl", control));
  EXPECT_EQ(std::get<int32_t>(control), kInitialControl & ~0x10000);
  ASSERT_STATUS(S_OK, user->SetInfo());
  EXPECT_EQ(directory->Statistics().modifies, 1);

  std::unique_ptr<AdsObject> reread;
  ASSERT_STATUS(S_OK, directory->GetUser("LDAP://" + user_, reread));
  Variant value;
  ASSERT_STATUS(S_OK, reread->Get("pwdLastSet", value));
  EXPECT_EQ(std::get<int64_t>(value), 0);
  ASSERT_STATUS(S_OK, reread->Get("userAccountControl", value));
  EXPECT_EQ(std::get<int32_t>(value), kInitialControl & ~0x10000);
}

TEST_F(LdapCommit, AChangeMadeSinceTheBindMakesSetInfoFail) {
  auto directory = Open();
  std::unique_ptr<AdsObject> user;
  ASSERT_STATUS(S_OK, directory->GetUser("LDAP://" + user_, user));
  Variant stamped;
  ASSERT_STATUS(S_OK, user->Get("pwdLastSet", stamped));
  ASSERT_NE(std::get<int64_t>(stamped), 0);
  // Someone else changes the account between the read and the commit.
  const int32_t theirs = kInitialControl | 0x100000;  // not delegated
  std::string output;
  ASSERT_EQ(0, LdapModify("dn: " + user_ + "\nchangetype: modify\nreplace: userAccountControl\nuserAccountControl: " +
                              std::to_string(theirs) + "\n-\n",
                          &output))
      << output;
  ASSERT_STATUS(S_OK, user->Put("pwdLastSet", Variant{int32_t{0}}));
  ASSERT_STATUS(S_OK, user->Put("userAccountControl", Variant{int32_t{kInitialControl & ~0x10000}}));
  // The value read is no longer there to delete: noSuchAttribute.
  EXPECT_STATUS(ldap::E_ADS_NO_ATTRIBUTE_OR_VALUE, user->SetInfo());
  EXPECT_EQ(directory->Statistics().modifies, 1);

  // Their value stands, and nothing else of the commit was applied.
  std::unique_ptr<AdsObject> reread;
  ASSERT_STATUS(S_OK, directory->GetUser("LDAP://" + user_, reread));
  Variant value;
  ASSERT_STATUS(S_OK, reread->Get("userAccountControl", value));
  EXPECT_EQ(std::get<int32_t>(value), theirs);
  ASSERT_STATUS(S_OK, reread->Get("pwdLastSet", value));
  EXPECT_EQ(std::get<int64_t>(value), std::get<int64_t>(stamped));
}

// ---- Conditions set up through libldap's process-wide configuration.

struct ChildOutcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs one LdapChild test of this binary with extra environment settings.
ChildOutcome RunChild(const std::string& test, const std::string& environment) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  ChildOutcome outcome;
  if (length <= 0) return outcome;
  self[length] = '\0';
  char base[] = "/tmp/agewarden-child-XXXXXX";
  const int fd = mkstemp(base);
  if (fd < 0) return outcome;
  close(fd);
  const std::string out = std::string(base) + ".out";
  const std::string err = std::string(base) + ".err";
  const std::string command = "env " + environment + " AGEWARDEN_LDAP_CHILD=1 '" + self +
                              "' --gtest_filter=LdapChild." + test + " >'" + out + "' 2>'" + err + "'";
  const int rc = std::system(command.c_str());
  outcome.exitCode = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  outcome.out = ReadFile(out);
  outcome.err = ReadFile(err);
  std::remove(base);
  std::remove(out.c_str());
  std::remove(err.c_str());
  return outcome;
}

void ExpectChildPassedQuietly(const ChildOutcome& outcome) {
  EXPECT_EQ(outcome.exitCode, 0) << outcome.out;
  EXPECT_NE(outcome.out.find("[  PASSED  ] 1 test"), std::string::npos) << outcome.out;
  EXPECT_EQ(outcome.out.find("SKIPPED"), std::string::npos) << outcome.out;
  EXPECT_EQ(outcome.err, "") << "something wrote to standard error";
}

TEST_F(LdapBackend, NoServerFailsQuietly) {
  ExpectChildPassedQuietly(RunChild("BindFails", "LDAPURI=ldap://127.0.0.1:1 AGEWARDEN_EXPECT=0x8007203A"));
}

TEST_F(LdapBackend, NoTicketFailsQuietly) {
  ExpectChildPassedQuietly(
      RunChild("BindFails", "KRB5CCNAME=FILE:/nonexistent/agewarden.ccache AGEWARDEN_EXPECT=0x8007052E"));
}

TEST_F(LdapBackend, ConnectionWithoutConfidentialityIsNotUsed) {
  // A GSSAPI integrity layer only (SSF 1): the server accepts it, the backend
  // does not.
  ExpectChildPassedQuietly(RunChild("BindFails", "LDAPSASL_SECPROPS=minssf=0,maxssf=1 AGEWARDEN_EXPECT=0x8007202D"));
  // No layer at all: the server itself refuses the bind.
  ExpectChildPassedQuietly(RunChild("BindFails", "LDAPSASL_SECPROPS=minssf=0,maxssf=0 AGEWARDEN_EXPECT=0x80072028"));
}

TEST_F(LdapBackend, ServerThatStopsAnsweringEndsTheCallWithAFailure) {
  ExpectChildPassedQuietly(RunChild("StalledServer", "LDAPTIMEOUT=2"));
  ExpectChildPassedQuietly(RunChild("SilentServer", "LDAPTIMEOUT=2"));
}

class LdapChild : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("AGEWARDEN_LDAP_CHILD").empty()) GTEST_SKIP() << "run by the LdapBackend tests in a process of its own";
  }
};

TEST_F(LdapChild, BindFails) {
  const HRESULT expected = static_cast<HRESULT>(std::strtoul(Env("AGEWARDEN_EXPECT").c_str(), nullptr, 16));
  auto directory = CreateLdapDirectory();
  directory->Start();
  std::unique_ptr<AdsObject> rootDse;
  EXPECT_STATUS(expected, directory->OpenObject("LDAP://rootDSE", rootDse));
  // One bind per run: later operations give the same answer without another.
  std::unique_ptr<DirectorySearch> search;
  EXPECT_STATUS(expected, directory->OpenSearch("LDAP://" + Base(), search));
  EXPECT_LE(directory->Statistics().binds, 1);
  EXPECT_LE(directory->Statistics().connections, 1);
  directory->Stop();
}

// Forwards one connection to the lab DC until told to stall; then it keeps
// the connection open and forwards nothing more.
class StallingProxy {
 public:
  bool Start(const std::string& ip) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
    if (listen(listener_, 1) != 0) return false;
    socklen_t size = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    if (pipe(wake_) != 0) return false;
    ip_ = ip;
    thread_ = std::thread([this] { Run(); });
    return true;
  }
  int Port() const { return port_; }
  void Stall() { stalled_ = true; }
  ~StallingProxy() {
    if (thread_.joinable()) {
      const char byte = 0;
      (void)!write(wake_[1], &byte, 1);
      thread_.join();
    }
    for (int fd : {listener_, client_, server_, wake_[0], wake_[1]}) {
      if (fd >= 0) close(fd);
    }
  }

 private:
  void Run() {
    pollfd first[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(first, 2, 30000) <= 0 || (first[1].revents & POLLIN)) return;
    client_ = accept(listener_, nullptr, nullptr);
    server_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(389);
    inet_pton(AF_INET, ip_.c_str(), &address.sin_addr);
    if (client_ < 0 || connect(server_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    char buffer[16384];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd fds[3] = {{client_, POLLIN, 0}, {server_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (poll(fds, 3, 200) < 0) return;
      if (fds[2].revents & POLLIN) return;
      if (stalled_) continue;
      for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
        if (got <= 0) return;
        if (write(i == 0 ? server_ : client_, buffer, static_cast<size_t>(got)) != got) return;
      }
    }
  }

  std::string ip_;
  int listener_ = -1;
  int client_ = -1;
  int server_ = -1;
  int wake_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<bool> stalled_{false};
  std::thread thread_;
};

TEST_F(LdapChild, SilentServer) {
  // Takes the connection and never answers, not even the bind.
  StallingProxy proxy;
  ASSERT_TRUE(proxy.Start(Env("LAB_IP", "127.0.0.77")));
  proxy.Stall();
  const std::string uri = "ldap://" + Env("LAB_IP", "127.0.0.77") + ":" + std::to_string(proxy.Port());
  setenv("LDAPURI", uri.c_str(), 1);
  auto directory = CreateLdapDirectory();
  directory->Start();
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<AdsObject> rootDse;
  EXPECT_STATUS(E_ADS_TIMEOUT, directory->OpenObject("LDAP://rootDSE", rootDse));
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
  EXPECT_EQ(directory->Statistics().binds, 1);
  directory->Stop();
}

TEST_F(LdapChild, StalledServer) {
  // Listens on the lab's address so that the Kerberos service name
  // (ldap/<address>) stays the one the DC holds.
  StallingProxy proxy;
  ASSERT_TRUE(proxy.Start(Env("LAB_IP", "127.0.0.77")));
  const std::string uri = "ldap://" + Env("LAB_IP", "127.0.0.77") + ":" + std::to_string(proxy.Port());
  // Before the first libldap call, so that its configuration takes it.
  setenv("LDAPURI", uri.c_str(), 1);

  LdapSettings settings;
  settings.alwaysPage = true;
  settings.pageSize = 7;
  auto directory = CreateLdapDirectory(settings);
  directory->Start();
  std::unique_ptr<AdsObject> rootDse;
  ASSERT_STATUS(S_OK, directory->OpenObject("LDAP://rootDSE", rootDse));
  std::unique_ptr<DirectorySearch> search;
  ASSERT_STATUS(S_OK, directory->OpenSearch("LDAP://OU=Bulk," + Base(), search));
  std::unique_ptr<SearchHandle> handle;
  ASSERT_STATUS(S_OK, search->ExecuteSearch("(objectClass=user)", {"sAMAccountName"}, handle));
  ASSERT_STATUS(S_OK, handle->GetFirstRow());
  // The first page is in; the next one will never come.
  proxy.Stall();
  const auto start = std::chrono::steady_clock::now();
  HRESULT status = S_OK;
  int rows = 1;
  while ((status = handle->GetNextRow()) == S_OK) ++rows;
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_STATUS(E_ADS_TIMEOUT, status);
  // Whatever of the first page got through before the stall, and no more.
  EXPECT_GE(rows, 1);
  EXPECT_LE(rows, 7);
  EXPECT_LT(waited, 10.0);
  EXPECT_GE(waited, 1.5);
  // The connection is not trusted after that: the next call fails at once.
  const auto again = std::chrono::steady_clock::now();
  std::unique_ptr<AdsObject> user;
  EXPECT_STATUS(E_ADS_SERVER_DOWN, directory->GetUser("LDAP://CN=Staff 200 A,OU=Staff," + Base(), user));
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - again).count(), 1.0);
  directory->Stop();
}

}  // namespace
}  // namespace agewarden
