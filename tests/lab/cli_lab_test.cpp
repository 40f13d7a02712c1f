// The real binary against the lab domain controller: exact output and exit
// status of the user and OU reports.
#include <regex>

#include "lab_support.h"

namespace agewarden::lab {
namespace {

const std::string kDate = "[0-9]{1,2}/[0-9]{1,2}/20[0-9]{2} [0-9]{1,2}:[0-9]{2}:[0-9]{2} [AP]M";

// The report of one account: its first line, then the date and an age of
// `days` (and a tenth, for a lab seeded a while ago).
std::string Report(const std::string& upn, const std::string& name, int days) {
  return upn + " -- " + name + "\n  Last change: " + kDate + "  \\(" + std::to_string(days) + "\\.[0-2] days\\)\n\n";
}

void ExpectMatch(const std::string& text, const std::string& pattern) {
  EXPECT_TRUE(std::regex_match(text, std::regex(pattern))) << "output:\n" << text << "\npattern:\n" << pattern;
}

TEST(CliLab, UserReports) {
  REQUIRE_LAB();
  Result r = Agewarden({"-u", "staff200a"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  ExpectMatch(r.out, "Displaying user \"staff200a\" with passwords 180 days old or older\\.\n\n" +
                         Report("staff200a@agewarden\\.lab", "Staff 200 A", 200));

  r = Agewarden({"-u", "staff010a"});
  EXPECT_EQ(r.status, 0) << "found but younger: no line, no error";
  EXPECT_EQ(r.out, "Displaying user \"staff010a\" with passwords 180 days old or older.\n\n");

  r = Agewarden({"-u", "nosuchuser"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Displaying user \"nosuchuser\" with passwords 180 days old or older.\n\n"
            "User object \"nosuchuser\" could not be found.\nErrors: 1 \n");

  r = Agewarden({"-u", "staff4*", "-q"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(SortedLines(r.out), (std::vector<std::string>{"staff400a@agewarden.lab", "staff400b@agewarden.lab"}));

  r = Agewarden({"-u", "a)(", "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Could not execute query. An invalid filter was specified.\nErrors: 1 \n");

  // UTF-8 in the user name and in the directory.
  r = Agewarden({"-u", "jos\xC3\xA9", "-q"});
  EXPECT_EQ(r.out, "jos\xC3\xA9@agewarden.lab\n");
  EXPECT_EQ(r.status, 0);
}

TEST(CliLab, OuReports) {
  REQUIRE_LAB();
  Result r = Agewarden({"-o", "Your OU/Your Staff/Admins"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const std::string banner =
      "Displaying user objects in OU \"Your OU/Your Staff/Admins\" with passwords 180 days old or older\\.\n\n";
  // Both orders of the two accounts are fine.
  const std::string a = Report("admin200@agewarden\\.lab", "Admin 200", 200);
  const std::string b = Report("admin400@agewarden\\.lab", "Admin 400", 400);
  ExpectMatch(r.out, banner + "(" + a + b + "|" + b + a + ")");

  r = Agewarden({"-o", "Staff", "-d", "90", "-q"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(SortedLines(r.out), (std::vector<std::string>{
                                    "jos\xC3\xA9@agewarden.lab",
                                    "nevexp200@agewarden.lab",
                                    "slashuser@agewarden.lab",
                                    "staff095a@agewarden.lab",
                                    "staff095b@agewarden.lab",
                                    "staff200a@agewarden.lab",
                                    "staff200b@agewarden.lab",
                                    "staff400a@agewarden.lab",
                                    "staff400b@agewarden.lab",
                                }));

  r = Agewarden({"-o", "Nowhere/At All"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Displaying user objects in OU \"Nowhere/At All\" with passwords 180 days old or older.\n\n"
            "Could not find OU \"Nowhere/At All\".\nErrors: 1 \n");

  r = Agewarden({"-o", "Groups", "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "No user objects could be found in \"Groups\".\n\nErrors: 1 \n");
}

TEST(CliLab, DebugShowsTheDirectorysValues) {
  REQUIRE_LAB();
  const Result r = Agewarden({"-x", "-u", "noupn400"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(r.out,
            "*** DEBUG MODE ***\n"
            "Domain name: AGEWARDEN\n"
            "UPNsfx: @agewarden.lab\n"
            "Container: LDAP://DC=agewarden,DC=lab\n"
            "Displaying user \"noupn400\" with passwords 180 days old or older.\n\n"
            "Filter: (&(objectClass=user)(objectCategory=person)(userPrincipalName=noupn400@agewarden.lab))\n"
            "User object \"noupn400\" could not be found.\nErrors: 1 \n");

  // An OU report in debug mode shows the account without userPrincipalName.
  const Result ou = Agewarden({"-x", "-o", "Staff", "-d", "1000"});
  EXPECT_EQ(ou.status, 0);
  EXPECT_NE(ou.out.find("Container: LDAP://OU=\"Staff\",DC=agewarden,DC=lab\n"), std::string::npos) << ou.out;
  EXPECT_NE(ou.out.find(" -- No UPN 400\n  DN: CN=No UPN 400,OU=Staff,DC=agewarden,DC=lab\n"), std::string::npos);
}

TEST(CliLab, NoServerAndNoTicket) {
  REQUIRE_LAB();
  const std::string expected = "Could not bind to LDAP://rootDSE.\nErrors: 1 \n";
  const std::vector<std::map<std::string, std::string>> cases = {
      {{"LDAPURI", "ldap://127.0.0.79"}},
      {{"KRB5CCNAME", "FILE:/nonexistent/ccache"}},
  };
  for (const auto& overrides : cases) {
    SCOPED_TRACE(overrides.begin()->first);
    const Result r = Agewarden({"-u", "staff200a", "-q"}, overrides);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "") << "nothing from libldap, SASL or Kerberos on standard error";
    EXPECT_EQ(r.status, 1);
  }
}

}  // namespace
}  // namespace agewarden::lab
