// The LDAP backend in process against the lab domain controller, for what
// only a real server shows: its own paging and the unpaged-then-paged
// continuation, its ranged retrieval of `member`, one connection and one
// bind per run.
#include <set>

#include "counting_connection.h"
#include "directory/backend/ldap_directory.h"
#include "directory/platform/status.h"

// Built for Windows too, to run under Wine: the lab is named by its
// environment alone.
#include <gtest/gtest.h>

namespace agewarden {
namespace {

std::unique_ptr<Directory> Open(const LdapSettings& settings = {}, ldap::ConnectionFactory open = ldap::OpenConnection) {
  auto directory = CreateLdapDirectory(settings, std::move(open));
  directory->Start();
  return directory;
}

// Pages and ranges in steps smaller than the results; what outlives Stop
// fails rather than reconnecting.
TEST(LdapBackend, PagesAndRangesOverOneConnection) {
  if (getenv("LAB_BASE") == nullptr) GTEST_SKIP() << "lab DC not running";
  const std::string base = getenv("LAB_BASE");
  std::vector<std::string> bulk;
  char name[16];
  for (int i = 1; i <= 35; ++i) bulk.push_back((std::snprintf(name, sizeof name, "bulk%03d", i), name));
  for (const bool alwaysPage : {true, false}) {
    SCOPED_TRACE(alwaysPage ? "always paged" : "unpaged, cut by a size limit, then paged");
    testing::RequestCounts counts;
    auto directory = Open({.pageSize = 7, .memberRangeStep = 10, .alwaysPage = alwaysPage}, testing::Counting(counts, !alwaysPage));
    std::unique_ptr<AccountSearch> search;
    // Paged searches also bind each account for the change.
    ASSERT_EQ(S_OK, directory->OpenContainer("OU=Bulk," + base, alwaysPage, search));
    std::unique_ptr<AccountCursor> cursor;
    ASSERT_EQ(S_OK, search->Search(AccountFilter(""), cursor));
    std::multiset<std::string> names;
    HRESULT status = S_OK;
    std::unique_ptr<UserAccount> user;
    for (Account account; (status = cursor->Next(account)) == S_OK;) {
      names.insert(account.userPrincipalName.substr(0, account.userPrincipalName.find('@')));
      user = std::move(account.user);
    }
    EXPECT_EQ(user != nullptr, alwaysPage);
    EXPECT_EQ(S_ADS_NOMORE_ROWS, status);
    EXPECT_EQ(names, std::multiset<std::string>(bulk.begin(), bulk.end())) << "each once";
    EXPECT_GE(counts.pages, 5) << "the entries came in pages of 7";
    std::unique_ptr<Group> group;
    ASSERT_EQ(S_OK, directory->OpenGroup("agewarden", "big group", group));
    std::deque<Principal> members;
    ASSERT_EQ(S_OK, group->Members(members));
    std::vector<std::string> memberNames;
    for (const Principal& member : members) memberNames.push_back(member.name);
    EXPECT_EQ(memberNames, bulk) << "every member, sorted";
    EXPECT_EQ(counts.connections, 1);
    directory->Stop();
    HRESULT outcome = S_OK;
    if (user) user->ForceChange(512, [&outcome](HRESULT done) { outcome = done; });
    EXPECT_EQ(alwaysPage ? E_ADS_SERVER_DOWN : S_OK, outcome);
    EXPECT_EQ(counts.connections, 1);
  }
}

}  // namespace
}  // namespace agewarden
