// The real binary against the lab domain controller: what only a real
// directory, its binds and its tickets show.
#include <algorithm>

#include "lab_support.h"

namespace agewarden::lab {
namespace {

const std::string kE = "\xC3\xA9";

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines = Lines(text);
  std::sort(lines.begin(), lines.end());
  return lines;
}

enum class Match { Exact, AnyOrder, Includes };

struct Row {
  std::vector<std::string> args;
  std::string out;
  int status;
  Environment environment = {};
  Match match = Match::Exact;
  std::string program = AGEWARDEN_BINARY;
};

// faketime preloads its library ahead of everything, AddressSanitizer's
// runtime included: a sanitized binary is told to accept that.
const Environment kFaketime = {{"ASAN_OPTIONS", "detect_leaks=1:verify_asan_link_order=0"}};

TEST(AgewardenLab, OutputAndStatus) {
  REQUIRE_LAB();
  // A CA of its own that never signed the DC's certificate.
  const std::string otherCa = TempPath("other-ca.pem");
  // Names read ahead many to a search, by the server's own matching rules:
  // found, not found, a wildcard, repeats, other letter case (beyond ASCII
  // too), UTF-8 and Latin-1.
  const std::string list = TempPath("list.txt", "staff200a nosuchuser\r\nstaff200a\n\tstaff4*\nSTAFF400A jos" + kE +
                                    "\nJOS\xC3\x89 jos\xE9\n");
  ASSERT_EQ(Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=other -keyout /dev/null -out " + otherCa).status, 0);
  const auto lab = [](const char* name) { return std::string(getenv(name) ? getenv(name) : ""); };
  const auto tls = [&](const std::string& ca) {
    return Environment{{"LDAPURI", lab("LAB_LDAPS_URI")}, {"LDAPTLS_CACERT", ca}, {"LDAPTLS_REQCERT", "demand"}};
  };
  // Neither USERDOMAIN nor USERNAME: the names come from the ticket and the directory.
  const auto bare = [](Environment environment) {
    environment["USERDOMAIN"] = environment["USERNAME"] = std::nullopt;
    return environment;
  };
  const std::string sorry = "you need to be a Domain Admin to do that.\nErrors: 1 \n";
  const std::vector<Row> rows = {
      {{"-o", "Your OU/Your Staff/Admins", "-q"}, "admin200@agewarden.lab\nadmin400@agewarden.lab\n", 0, {}, Match::AnyOrder},
      {{"-l", list, "-q"}, "staff200a@agewarden.lab\nUser object nosuchuser could not be found.\n\nstaff200a@agewarden.lab\n"
           "staff400a@agewarden.lab\nstaff400b@agewarden.lab\nstaff400a@agewarden.lab\njos" + kE + "@agewarden.lab\njos" + kE +
           "@agewarden.lab\njos" + kE + "@agewarden.lab\nErrors: 1 \n", 1, {}, Match::AnyOrder},
      // The names the ticket and the directory give.
      {{"-g", "Domain Users", "-x"}, "Domain name: AGEWARDEN\nUsername: Administrator\nAdministrator is a member of Domain "
           "Admins\n", 0, bare({}), Match::Includes},
      // A client keytab and no ticket cache.
      {{"-g", "Domain Users", "-q"}, "Sorry, plainuser, " + sorry, 1,
       bare({{"KRB5_CLIENT_KTNAME", lab("LAB_CLIENT_KEYTAB")}, {"KRB5CCNAME", "MEMORY:agewarden"}})},
      {{"-g", "Domain Users", "-q"}, "Sorry, jdoe2, " + sorry, 1, TicketOf("john.doe@AGEWARDEN.LAB")},
      {{"-g", "Domain Users", "-x"}, "Username: jdoe2\n", 1, TicketOf("john.doe@agewarden.lab", "-E"), Match::Includes},
      // An integrity layer without confidentiality: the server accepts it, the tool does not.
      {{"-u", "staff200a", "-q"}, kBindFailed, 1, {{"LDAPSASL_SECPROPS", "minssf=0,maxssf=1"}}},
      // LDAPS with the lab's CA or with a CA that cannot verify the DC.
      {{"-u", "staff200a", "-q"}, "staff200a@agewarden.lab\n", 0, tls(lab("LAB_CA"))},
      {{"-u", "staff200a", "-q"}, kBindFailed, 1, tls(otherCa)},
      // Tickets that cannot be used: none, or expired (the clock 3 days on;
      // with no shift the clock wrapper works).
      {{"-u", "staff200a", "-q"}, kBindFailed, 1, {{"KRB5CCNAME", "FILE:/nonexistent/agewarden.ccache"}}},
      {{"-f", "+3d", AGEWARDEN_BINARY, "-u", "staff200a", "-q"}, kBindFailed, 1, kFaketime, Match::Exact, "/usr/bin/faketime"},
      {{"-f", "+0", AGEWARDEN_BINARY, "-u", "staff200a", "-q"}, "staff200a@agewarden.lab\n", 0, kFaketime, Match::Exact,
       "/usr/bin/faketime"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args) + " " + ::testing::PrintToString(row.environment));
    const Result r = RunTool({.args = row.args, .environment = row.environment, .terminal = true, .program = row.program}, 60);
    EXPECT_EQ(r.terminal, "") << "nothing is asked on the terminal";
    const std::vector<std::string> got = SortedLines(r.out), expected = SortedLines(row.out);
    if (row.match == Match::Exact) { EXPECT_EQ(r.out, row.out); }
    if (row.match == Match::AnyOrder) { EXPECT_EQ(got, expected); }
    if (row.match == Match::Includes) { EXPECT_TRUE(std::includes(got.begin(), got.end(), expected.begin(), expected.end())); }
    EXPECT_EQ(r.status, row.status);
  }
  for (const std::string& path : {list, otherCa}) std::remove(path.c_str());
}

// With a resolver that asks only the lab DC (seen by agewarden alone) and an
// ldap.conf without a URI, the DC comes from the domain's SRV records.
TEST(AgewardenLab, DomainControllerFromDnsSrvRecords) {
  REQUIRE_LAB();
  if (getenv("LAB_DNS_SERVER") == nullptr) GTEST_SKIP() << "lab without its DNS server (made before it): scripts/labdc reset";
  if (Shell("unshare -m true").status != 0) GTEST_SKIP() << "no mount namespace (needs root)";
  const std::string resolv = TempPath("resolv.conf", "nameserver " + std::string(getenv("LAB_DNS_SERVER")) + "\n");
  const std::string conf = TempPath("ldap.conf", "SASL_MECH\tGSSAPI\nSASL_NOCANON\ton\n");
  const Result r = Shell("unshare -m sh -c 'mount --bind \"$RESOLV\" /etc/resolv.conf && exec \"$BINARY\" -u staff200a -q'",
                         {{"RESOLV", resolv}, {"BINARY", AGEWARDEN_BINARY}, {"LDAPURI", std::nullopt}, {"LDAPCONF", conf}});
  EXPECT_EQ(r.out, "staff200a@agewarden.lab\n") << r.err;
  EXPECT_EQ(r.status, 0);
  unlink(resolv.c_str());
  unlink(conf.c_str());
}

TEST(AgewardenLab, ListOf100000NamesInConstantMemory) {
  REQUIRE_LAB();
  // One name in a thousand is an account, one in a hundred is not found, the
  // rest hold a "(" that libldap refuses without a round trip to the DC.
  std::string names;
  char word[32];
  for (int i = 0; i < 100000; ++i) {
    std::snprintf(word, sizeof word, i % 1000 == 0 ? "staff200a" : i % 100 == 0 ? "nobody%06d" : "bad(%06d", i);
    names += word + std::string(i % 7 == 0 ? "\t" : "\n");
  }
  const std::string big = TempPath("100000.txt", names), small = TempPath("3.txt", "staff200a nobody1\nbad(1\n");
  const Result few = RunTool({{"-l", small, "-q"}}), many = RunTool({{"-l", big, "-q"}}, 300);
  for (const std::string& path : {big, small}) std::remove(path.c_str());
  std::map<std::string, int> kinds;
  for (const std::string& line : Lines(many.out)) ++kinds[line.rfind("User object nobody", 0) == 0 ? "not found" : line];
  EXPECT_EQ(kinds, (std::map<std::string, int>{{"staff200a@agewarden.lab", 100}, {"not found", 900}, {"", 900},
                                               {"Could not execute query. An invalid filter was specified.", 99000}, {"Errors: 99900 ", 1}}));
  EXPECT_EQ(many.status, 254) << "capped";
  EXPECT_LT(many.peakRssKb, few.peakRssKb + 8 * 1024) << "memory does not grow with the list";
}

// -t as a user delegated to change some accounts, refused on another, and
// allowed to write pwdLastSet but not to read userAccountControl of a last
// one, with writes kept in flight: what one write at a time gives, in output
// and in the directory (an account listed twice shows its first write).
TEST(AgewardenLab, ForcedChangeRefusedByTheDirectory) {
  REQUIRE_LAB();
  const std::string delegated = "OU=Delegated," + Base();
  const std::string list = TempPath("list.txt", "delegref200 deleg200 nosuchuser delegnev200 deleg400 deleg200\n");
  const Accounts before = ReadAccounts(delegated);
  ASSERT_EQ(before.at("delegnev200").at("userAccountControl"), "66048");
  const Result r = RunTool({.args = {"-t", "-l", list, "-q"}, .environment = TicketOf("delegate")});
  std::remove(list.c_str());
  EXPECT_EQ(r.out, "delegref200@agewarden.lab\nUpdate for user delegref200@agewarden.lab failed\ndeleg200@agewarden.lab\n"
                   "User object nosuchuser could not be found.\n\ndelegnev200@agewarden.lab\ndeleg400@agewarden.lab\n"
                   "Get userAccountControl for user deleg400@agewarden.lab failed\ndeleg200@agewarden.lab\nErrors: 3 \n");
  EXPECT_EQ(r.status, 3);
  Accounts after = ReadAccounts(delegated);
  for (const char* changed : {"deleg200", "delegnev200"}) {
    EXPECT_EQ(after.at(changed).at("pwdLastSet") + " " + after.at(changed).at("userAccountControl"), "0 512");
    after.at(changed) = before.at(changed);
  }
  EXPECT_EQ(after, before) << "the refused and the unread account untouched, not even uSNChanged";
}

}  // namespace
}  // namespace agewarden::lab
