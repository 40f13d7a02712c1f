// The LDAP backend in process against the lab domain controller, for what
// only a real server shows: paging and the unpaged-then-paged continuation,
// ranged retrieval of `member`, one connection and one bind per run, and a
// commit refused after a conflicting change.
#include <set>

#include "counting_connection.h"
#include "directory/backend/ldap_directory.h"
#include "directory/platform/status.h"

#ifdef _WIN32
// Built for Windows it runs under Wine, where the lab is named by its
// environment alone.
#include <gtest/gtest.h>
#define REQUIRE_LAB()                                                        \
  do {                                                                       \
    if (getenv("LAB_BASE") == nullptr) GTEST_SKIP() << "lab DC not running"; \
  } while (0)
namespace agewarden {
namespace {
std::string Base() { return getenv("LAB_BASE"); }
#else
#include "lab_support.h"
namespace agewarden {
namespace {
using lab::Base;
#endif

std::unique_ptr<Directory> Open(const LdapSettings& settings = {}, ldap::ConnectionFactory open = ldap::OpenConnection) {
  auto directory = CreateLdapDirectory(settings, std::move(open));
  directory->Start();
  return directory;
}

// Pages and ranges in steps smaller than the results; what outlives Stop
// fails rather than reconnecting.
TEST(LdapBackend, PagesAndRangesOverOneConnection) {
  REQUIRE_LAB();
  std::vector<std::string> bulk;
  char name[16];
  for (int i = 1; i <= 35; ++i) bulk.push_back((std::snprintf(name, sizeof name, "bulk%03d", i), name));
  for (const bool alwaysPage : {true, false}) {
    SCOPED_TRACE(alwaysPage ? "always paged" : "unpaged, cut by a size limit, then paged");
    testing::RequestCounts counts;
    auto directory = Open({.pageSize = 7, .memberRangeStep = 10, .alwaysPage = alwaysPage}, testing::Counting(counts, !alwaysPage));
    std::unique_ptr<AccountSearch> search;
    ASSERT_EQ(S_OK, directory->OpenContainer("OU=Bulk," + Base(), search));
    std::unique_ptr<AccountCursor> cursor;
    ASSERT_EQ(S_OK, search->Search(AccountFilter(""), cursor));
    std::multiset<std::string> names;
    HRESULT status = S_OK;
    for (Account account; (status = cursor->Next(account)) == S_OK;) {
      names.insert(account.userPrincipalName.substr(0, account.userPrincipalName.find('@')));
    }
    EXPECT_EQ(S_ADS_NOMORE_ROWS, status);
    EXPECT_EQ(names, std::multiset<std::string>(bulk.begin(), bulk.end())) << "each once";
    EXPECT_GE(counts.pages, 5) << "the entries came in pages of 7";
    std::unique_ptr<Group> group;
    ASSERT_EQ(S_OK, directory->OpenGroup("agewarden", "big group", group));
    EXPECT_EQ(group->Identity().domain + "/" + group->Identity().name, "AGEWARDEN/Big Group");
    std::vector<Principal> members;
    ASSERT_EQ(S_OK, group->Members(members));
    std::vector<std::string> memberNames;
    for (const Principal& member : members) memberNames.push_back(member.name);
    EXPECT_EQ(memberNames, bulk) << "every member, sorted";
    EXPECT_EQ(members.front().domain, "AGEWARDEN");
    EXPECT_FALSE(members.front().isGroup);
    std::unique_ptr<UserAccount> user;
    ASSERT_EQ(S_OK, directory->OpenUser("CN=Staff 200 A,OU=Staff," + Base(), user));
    EXPECT_EQ(counts.connections, 1);
    directory->Stop();
    EXPECT_EQ(E_ADS_SERVER_DOWN, user->ForceChange(512));
    EXPECT_EQ(counts.connections, 1);
  }
}

#ifndef _WIN32
TEST(LdapBackend, ACommitAfterAConflictingChangeIsRefusedWhole) {
  REQUIRE_LAB();
  // A user of its own, in a unit of its own and without a userPrincipalName
  // (so that no report shows it); pwdLastSet -1 stamps the time of the change.
  const std::string unit = "OU=Backend Commit Test," + Base(), dn = "CN=Commit Test User," + unit;
  const auto modify = [](const std::string& ldif) {
    return lab::Shell("ldapmodify -Q -c -f '" + lab::TempPath("change.ldif", ldif) + "'");
  };
  const std::string remove = "dn: " + dn + "\nchangetype: delete\n\ndn: " + unit + "\nchangetype: delete\n";
  modify(remove);
  const lab::Result added = modify("dn: " + unit + "\nchangetype: add\nobjectClass: organizationalUnit\n\ndn: " + dn +
                                   "\nchangetype: add\nobjectClass: user\nsAMAccountName: agewcommit\n"
                                   "userAccountControl: 66082\n\ndn: " + dn +
                                   "\nchangetype: modify\nreplace: pwdLastSet\npwdLastSet: -1\n-\n");
  ASSERT_EQ(added.status, 0) << added.out << added.err;
  const lab::Accounts before = lab::ReadAccounts(unit, "pwdLastSet");
  auto directory = Open();
  std::unique_ptr<UserAccount> user, reread;
  ASSERT_EQ(S_OK, directory->OpenUser(dn, user));
  int32_t control = 0;
  ASSERT_EQ(S_OK, user->GetUserAccountControl(control));
  EXPECT_EQ(control, 66082);
  // Someone else changes the account between the read and the commit.
  EXPECT_EQ(modify("dn: " + dn + "\nchangetype: modify\nreplace: userAccountControl\nuserAccountControl: 1114658\n-\n").status, 0);
  EXPECT_EQ(ldap::E_ADS_NO_ATTRIBUTE_OR_VALUE, user->ForceChange(546)) << "the value read is gone: noSuchAttribute";
  // Their value stands, and nothing of the commit was applied.
  ASSERT_EQ(S_OK, directory->OpenUser(dn, reread));
  ASSERT_EQ(S_OK, reread->GetUserAccountControl(control));
  EXPECT_EQ(control, 1114658);
  EXPECT_EQ(lab::ReadAccounts(unit, "pwdLastSet"), before);
  EXPECT_NE(before.at("agewcommit").at("pwdLastSet"), "0");
  modify(remove);
}
#endif

}  // namespace
}  // namespace agewarden
