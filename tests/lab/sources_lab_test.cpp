// List files, group walks and the Domain Users gate against the lab DC.
#include <fstream>

#include "lab_support.h"

namespace agewarden::lab {
namespace {

TEST(SourcesLab, ListFile) {
  REQUIRE_LAB();
  const std::string path = ::testing::TempDir() + "agewarden-lab-list.txt";
  // Found, not found, duplicated, a wildcard, UTF-8 and a Latin-1 byte.
  std::ofstream(path) << "staff200a nosuchuser\r\nstaff200a\n\tstaff4*\njos\xC3\xA9\njos\xE9\n";
  const Result r = Agewarden({"-l", path, "-q"});
  std::remove(path.c_str());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  const std::string expectedA =
      "staff200a@agewarden.lab\n"
      "User object nosuchuser could not be found.\n\n"
      "staff200a@agewarden.lab\n";
  const std::string expectedB = "jos\xC3\xA9@agewarden.lab\njos\xC3\xA9@agewarden.lab\nErrors: 1 \n";
  ASSERT_GE(r.out.size(), expectedA.size());
  EXPECT_EQ(r.out.substr(0, expectedA.size()), expectedA) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), expectedB.size())), expectedB) << r.out;
  EXPECT_NE(r.out.find("staff400a@agewarden.lab\n"), std::string::npos);
  EXPECT_NE(r.out.find("staff400b@agewarden.lab\n"), std::string::npos);

  const Result missing = Agewarden({"-l", "/nonexistent/list.txt"});
  EXPECT_EQ(missing.status, 255);
  EXPECT_EQ(missing.out, "Cannot open input file: \"/nonexistent/list.txt\"\n");
}

TEST(SourcesLab, NestedGroupsWithACycleAndASharedMember) {
  REQUIRE_LAB();
  const Result r = Agewarden({"-g", "Lab Group A", "-q", "-d", "1"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "admin400@agewarden.lab\n"
            "Group AGEWARDEN/Lab Group A skipped - it is already being walked\n"
            "staff400a@agewarden.lab\n"
            "staff400b@agewarden.lab\n"
            "staff200a@agewarden.lab\n"
            "staff400a@agewarden.lab\n");

  const Result empties = Agewarden({"-g", "Nest Of Empties", "-q"});
  EXPECT_EQ(empties.status, 3);
  EXPECT_EQ(empties.out,
            "Group does not contain any users\nGroup does not contain any users\n"
            "Group does not contain any users\nErrors: 3 \n");

  const Result missing = Agewarden({"-g", "No Such Group", "-q"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "Could not find Group \"No Such Group\"\nErrors: 1 \n");

  // A domain name that is not the directory's binds nothing.
  const Result other = Agewarden({"-g", "Lab Group A", "-q"}, {{"USERDOMAIN", "OTHERDOM"}});
  EXPECT_EQ(other.out, "Could not find Group \"Lab Group A\"\nErrors: 1 \n");
}

TEST(SourcesLab, DomainUsersGate) {
  REQUIRE_LAB();
  const Result admin = Agewarden({"-g", "domain users", "-q", "-d", "1"});
  EXPECT_EQ(admin.status, 0) << admin.out;
  // Members through primaryGroupID.
  EXPECT_NE(admin.out.find("staff200a@agewarden.lab\n"), std::string::npos) << admin.out;
  EXPECT_NE(admin.out.find("plainuser@agewarden.lab\n"), std::string::npos);

  const Result plain = Agewarden({"-g", "Domain Users", "-q"}, LabEnvironment("plain"));
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.out, "Sorry, plainuser, you need to be a Domain Admin to do that.\nErrors: 1 \n");
  EXPECT_EQ(plain.err, "");
}

}  // namespace
}  // namespace agewarden::lab
