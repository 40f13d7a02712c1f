// The LDAP backend in process against the lab domain controller, for what
// only a real server shows: paging and the unpaged-then-paged continuation,
// ranged retrieval of `member`, one connection and one bind per run, and a
// commit refused after a conflicting change.
#include <set>

#include "directory/ldap_directory.h"
#include "directory/ldap_status.h"
#include "lab_support.h"

namespace agewarden {
namespace {

using lab::Base;

std::unique_ptr<LdapDirectory> Open(const LdapSettings& settings = {}) {
  auto directory = CreateLdapDirectory(settings);
  directory->Start();
  return directory;
}

// Paging (from the start, or after the server cut an unpaged search) and
// ranged retrieval of `member`, in steps smaller than the results, over one
// connection and one bind; what outlives Stop fails rather than reconnecting.
TEST(LdapBackend, PagesAndRangesOverOneConnection) {
  REQUIRE_LAB();
  std::vector<std::string> bulk;
  char name[16];
  for (int i = 1; i <= 35; ++i) bulk.push_back((std::snprintf(name, sizeof name, "bulk%03d", i), name));
  for (const bool alwaysPage : {true, false}) {
    SCOPED_TRACE(alwaysPage ? "always paged" : "unpaged, cut at 10, then paged");
    auto directory = Open({.pageSize = 7, .memberRangeStep = 10, .alwaysPage = alwaysPage, .unpagedSizeLimit = alwaysPage ? 0 : 10});
    std::unique_ptr<DirectorySearch> search;
    ASSERT_EQ(S_OK, directory->OpenSearch("LDAP://OU=Bulk," + Base(), search));
    std::unique_ptr<SearchHandle> handle;
    ASSERT_EQ(S_OK, search->ExecuteSearch("(objectCategory=person)", {"sAMAccountName"}, handle));
    std::multiset<std::string> names;
    HRESULT status = handle->GetFirstRow();
    for (Column column; status == S_OK; status = handle->GetNextRow()) {
      EXPECT_EQ(S_OK, handle->GetColumn("sAMAccountName", column));
      names.insert(std::get<std::string>(column.values.at(0)));
    }
    EXPECT_EQ(S_ADS_NOMORE_ROWS, status);
    EXPECT_EQ(names, std::multiset<std::string>(bulk.begin(), bulk.end()));
    EXPECT_GE(directory->Statistics().pages, 4) << "the entries came in pages of 7";
    std::unique_ptr<AdsGroup> group;
    ASSERT_EQ(S_OK, directory->GetGroup("WinNT://AGEWARDEN/Big Group", group));
    std::vector<GroupMember> members;
    ASSERT_EQ(S_OK, group->Members(members));
    std::vector<std::string> memberNames;
    for (const GroupMember& member : members) memberNames.push_back(member.name);
    EXPECT_EQ(memberNames, bulk) << "every member, sorted";
    EXPECT_EQ(members.front().path, "WinNT://AGEWARDEN/bulk001");
    EXPECT_FALSE(members.front().isGroup);
    std::unique_ptr<AdsObject> user;
    ASSERT_EQ(S_OK, directory->GetUser("LDAP://CN=Staff 200 A,OU=Staff," + Base(), user));
    EXPECT_EQ(directory->Statistics().connections, 1);
    EXPECT_EQ(directory->Statistics().binds, 1);
    directory->Stop();
    EXPECT_EQ(S_OK, user->Put("pwdLastSet", Variant{int32_t{0}}));
    EXPECT_EQ(E_ADS_SERVER_DOWN, user->SetInfo());
    EXPECT_EQ(directory->Statistics().connections, 1);
  }
}

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
  auto directory = Open();
  std::unique_ptr<AdsObject> user, reread;
  ASSERT_EQ(S_OK, directory->GetUser("LDAP://" + dn, user));
  Variant stamped, value;
  ASSERT_EQ(S_OK, user->Get("pwdLastSet", stamped));
  // Someone else changes the account between the read and the commit.
  EXPECT_EQ(modify("dn: " + dn + "\nchangetype: modify\nreplace: userAccountControl\nuserAccountControl: 1114658\n-\n").status, 0);
  ASSERT_EQ(S_OK, user->Put("pwdLastSet", Variant{int32_t{0}}));
  ASSERT_EQ(S_OK, user->Put("userAccountControl", Variant{int32_t{546}}));
  EXPECT_EQ(ldap::E_ADS_NO_ATTRIBUTE_OR_VALUE, user->SetInfo()) << "the value read is gone: noSuchAttribute";
  // Their value stands, and nothing of the commit was applied.
  ASSERT_EQ(S_OK, directory->GetUser("LDAP://" + dn, reread));
  ASSERT_EQ(S_OK, reread->Get("userAccountControl", value));
  EXPECT_EQ(std::get<int32_t>(value), 1114658);
  ASSERT_EQ(S_OK, reread->Get("pwdLastSet", value));
  EXPECT_EQ(value, stamped);
  EXPECT_NE(std::get<int64_t>(value), 0);
  modify(remove);
}

}  // namespace
}  // namespace agewarden
