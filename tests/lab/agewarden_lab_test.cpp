// The real binary against the lab domain controller: the exact output and
// exit status of reports, list files, group walks and bad input, a list of
// 100,000 names in constant memory, and what -t leaves in the directory.
#include <regex>
#include <set>

#include "lab_support.h"

namespace agewarden::lab {
namespace {

std::string Repeat(const std::string& unit, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += unit;
  return text;
}

std::string Escape(const std::string& text) {
  return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// A regular expression for two texts in either order.
std::string Either(const std::string& a, const std::string& b) {
  return "(" + Escape(a) + Escape(b) + "|" + Escape(b) + Escape(a) + ")";
}

// The report of one account as a regular expression: its first line, then the
// date and an age of `days` (and a tenth, for a lab seeded a while ago).
std::string Report(const std::string& upn, const std::string& name, int days) {
  return Escape(upn + " -- " + name) + "\n  Last change: [0-9]{1,2}/[0-9]{1,2}/20[0-9]{2} [0-9]{1,2}:[0-9]{2}:[0-9]{2} " +
         "[AP]M  \\(" + std::to_string(days) + "\\.[0-2] days\\)\n\n";
}

const std::string kBind = "Could not bind to LDAP://rootDSE.\nErrors: 1 \n";
const std::string kInvalid = "Could not execute query. An invalid filter was specified.\n";
const std::string kNoGroupA = "Could not find Group \"Lab Group A\"\nErrors: 1 \n";
const std::string kE = "\xC3\xA9";
const std::string kKey = "\xF0\x9F\x94\x91";
// Values of 259 and 260 UTF-16 units: é (one unit), 🔑 (two) and bytes that are no UTF-8 (one each).
const std::string k259Two = Repeat(kE, 259), k259Four = Repeat(kKey, 129) + "a", k259Bad = Repeat("\xFF", 259);

std::string NoUser(const std::string& name) { return "User object \"" + name + "\" could not be found.\nErrors: 1 \n"; }
std::string NoOu(const std::string& path) { return "Could not find OU \"" + path + "\".\nErrors: 1 \n"; }
std::string NoGroup(const std::string& name) { return "Could not find Group \"" + name + "\"\nErrors: 1 \n"; }

enum class Match { Exact, Regex, AnyOrder };

struct Row {
  std::vector<std::string> args;
  std::string out;
  int status;
  Environment environment = {};
  Match match = Match::Exact;
};

TEST(AgewardenLab, OutputAndStatus) {
  REQUIRE_LAB();
  const std::string list = TempPath("list.txt", "staff200a nosuchuser\r\nstaff200a\n\tstaff4*\njos\xC3\xA9\njos\xE9\n");
  const std::string metacharacters = TempPath("meta.txt", "staff200a\n(\na)(b\n\\\n\\2a\nstaff4*\n*)(objectClass=*\n");
  // 38 OU levels, each with a quote, a comma and a backslash.
  std::string deep, chain;
  for (int i = 0; i < 38; ++i) {
    const std::string level = "\",\\" + std::to_string(i % 10);
    deep += (i ? "/" : "") + level;
    chain = "OU=\"" + level + "\"" + (i ? "," : "") + chain;
  }
  const std::string any = "[\\s\\S]*";
  const std::string staff4 = Either("staff400a@agewarden.lab\n", "staff400b@agewarden.lab\n");
  const std::string admins = "Displaying user objects in OU \"Your OU/Your Staff/Admins\" with passwords 180 days old or older\\.\n\n";
  const std::vector<Row> rows = {
      // Reports of one user, of an OU, in debug mode.
      {{"-u", "staff200a"}, "Displaying user \"staff200a\" with passwords 180 days old or older\\.\n\n" +
           Report("staff200a@agewarden.lab", "Staff 200 A", 200), 0, {}, Match::Regex},
      {{"-u", "staff010a"}, "Displaying user \"staff010a\" with passwords 180 days old or older.\n\n", 0},
      {{"-u", "nosuchuser"}, "Displaying user \"nosuchuser\" with passwords 180 days old or older.\n\n" + NoUser("nosuchuser"), 1},
      {{"-u", "staff4*", "-q"}, "staff400a@agewarden.lab\nstaff400b@agewarden.lab\n", 0, {}, Match::AnyOrder},
      {{"-u", "jos" + kE, "-q"}, "jos" + kE + "@agewarden.lab\n", 0},
      {{"-o", "Your OU/Your Staff/Admins"}, admins + "(" + Report("admin200@agewarden.lab", "Admin 200", 200) +
           Report("admin400@agewarden.lab", "Admin 400", 400) + "|" + Report("admin400@agewarden.lab", "Admin 400", 400) +
           Report("admin200@agewarden.lab", "Admin 200", 200) + ")", 0, {}, Match::Regex},
      {{"-o", "Staff", "-d", "90", "-q"}, "jos" + kE + "@agewarden.lab\nnevexp200@agewarden.lab\nslashuser@agewarden.lab\n"
           "staff095a@agewarden.lab\nstaff095b@agewarden.lab\nstaff200a@agewarden.lab\nstaff200b@agewarden.lab\n"
           "staff400a@agewarden.lab\nstaff400b@agewarden.lab\n", 0, {}, Match::AnyOrder},
      {{"-o", "Nowhere/At All"}, "Displaying user objects in OU \"Nowhere/At All\" with passwords 180 days old or older.\n\n" +
           NoOu("Nowhere/At All"), 1},
      {{"-o", "Groups", "-q"}, "No user objects could be found in \"Groups\".\n\nErrors: 1 \n", 1},
      {{"-x", "-u", "noupn400"}, "*** DEBUG MODE ***\nDomain name: AGEWARDEN\nUPNsfx: @agewarden.lab\n"
           "Container: LDAP://DC=agewarden,DC=lab\nDisplaying user \"noupn400\" with passwords 180 days old or older.\n\n"
           "Filter: (&(objectClass=user)(objectCategory=person)(userPrincipalName=noupn400@agewarden.lab))\n" +
           NoUser("noupn400"), 1},
      {{"-x", "-o", "Staff", "-d", "1000"}, any + Escape("Container: LDAP://OU=\"Staff\",DC=agewarden,DC=lab\n") + any +
           Escape(" -- No UPN 400\n  DN: CN=No UPN 400,OU=Staff,DC=agewarden,DC=lab\n") + any, 0, {}, Match::Regex},
      // List files: found, not found, repeated, a wildcard, UTF-8 and Latin-1.
      {{"-l", list, "-q"}, Escape("staff200a@agewarden.lab\nUser object nosuchuser could not be found.\n\nstaff200a@agewarden.lab\n") +
           staff4 + Escape("jos" + kE + "@agewarden.lab\njos" + kE + "@agewarden.lab\nErrors: 1 \n"), 1, {}, Match::Regex},
      {{"-l", "/nonexistent/list.txt"}, "Cannot open input file: \"/nonexistent/list.txt\"\n", 255},
      // Group walks: nesting with a cycle and a shared member, empty groups,
      // the Domain Users gate (members through primaryGroupID).
      {{"-g", "Lab Group A", "-q", "-d", "1"}, "admin400@agewarden.lab\nGroup AGEWARDEN/Lab Group A skipped - it is already "
           "being walked\nstaff400a@agewarden.lab\nstaff400b@agewarden.lab\nstaff200a@agewarden.lab\nstaff400a@agewarden.lab\n", 0},
      {{"-g", "Nest Of Empties", "-q"}, Repeat("Group does not contain any users\n", 3) + "Errors: 3 \n", 3},
      {{"-g", "No Such Group", "-q"}, NoGroup("No Such Group"), 1},
      {{"-g", "domain users", "-q", "-d", "1"}, "(?=" + any + "(^|\n)staff200a@agewarden\\.lab\n)(?=" + any +
           "\nplainuser@agewarden\\.lab\n)" + any, 0, {}, Match::Regex},
      {{"-g", "Domain Users", "-q"}, "Sorry, plainuser, you need to be a Domain Admin to do that.\nErrors: 1 \n", 1, PlainUser()},
      // No server, and a connection without confidentiality (the server
      // accepts an integrity layer, the tool does not; none, the server refuses).
      {{"-u", "staff200a", "-q"}, kBind, 1, {{"LDAPURI", "ldap://127.0.0.1:1"}}},
      {{"-u", "staff200a", "-q"}, kBind, 1, {{"LDAPSASL_SECPROPS", "minssf=0,maxssf=1"}}},
      {{"-u", "staff200a", "-q"}, kBind, 1, {{"LDAPSASL_SECPROPS", "minssf=0,maxssf=0"}}},
      // Command-line errors: two representatives.
      {{"-u", "joe", "-o", "Staff"}, "ONLY ONE of \"-o\" or \"-u\" or \"-l\" or \"-g\" may be specified.\nUse -h for full help.\n", 255},
      {{"-u", Repeat(kE, 260)}, "-u value is too long\n", 255},
      // Values of 259 UTF-16 units, invalid UTF-8 and Latin-1 reach the directory.
      {{"-u", k259Two, "-q"}, NoUser(k259Two), 1},
      {{"-u", k259Four, "-q"}, NoUser(k259Four), 1},
      {{"-u", k259Bad, "-q"}, NoUser(k259Bad), 1},
      {{"-o", k259Two, "-q"}, NoOu(k259Two), 1},
      {{"-g", k259Four, "-q"}, NoGroup(k259Four), 1},
      {{"-u", "jos\xE9", "-q"}, NoUser("jos\xE9"), 1},
      {{"-u", "\xED\xA0\x80", "-q"}, NoUser("\xED\xA0\x80"), 1},  // a UTF-16 surrogate
      {{"-o", "St\xE4" "ff", "-q"}, NoOu("St\xE4" "ff"), 1},
      {{"-g", "Lab Group A", "-q", "-d", "1"}, kNoGroupA, 1, {{"USERDOMAIN", "AGEWARDEN\xFF"}}},
      // Filter metacharacters stay inside their clause; an escape is an escape.
      {{"-u", "a)(b", "-q"}, kInvalid + "Errors: 1 \n", 1},
      {{"-u", "staff200a\\", "-q"}, kInvalid + "Errors: 1 \n", 1},
      {{"-u", "\\2a", "-q"}, NoUser("\\2a"), 1},
      {{"-u", "staff200\\61", "-q"}, "staff200a@agewarden.lab\n", 0},
      {{"-u", "*)(objectClass=*", "-q"}, NoUser("*)(objectClass=*"), 1},
      {{"-g", "x)(objectClass=*", "-q"}, NoGroup("x)(objectClass=*"), 1},
      {{"-g", "Lab Group *", "-q"}, NoGroup("Lab Group *"), 1},
      {{"-l", metacharacters, "-q"}, Escape("staff200a@agewarden.lab\n" + kInvalid + kInvalid + kInvalid +
           "User object \\2a could not be found.\n\n") + staff4 +
           Escape("User object *)(objectClass=* could not be found.\n\nErrors: 5 \n"), 5, {}, Match::Regex},
      // OU paths with quotes, commas and backslashes become a DN of that many levels.
      {{"-x", "-o", deep}, any + Escape("\nContainer: LDAP://" + chain + "," + Base() + "\n") + any, 1, {}, Match::Regex},
      {{"-o", deep, "-q"}, NoOu(deep), 1},
      {{"-o", "Staff, East/\"Quoted\"/Back\\slash", "-q"}, NoOu("Staff, East/\"Quoted\"/Back\\slash"), 1},
      {{"-o", "", "-q"}, NoOu(""), 1},
      // USERDOMAIN: a domain that is not the directory's, unset, empty, up
      // to 63 UTF-16 units, or longer; USERNAME longer than 63.
      {{"-g", "Lab Group A", "-q"}, kNoGroupA, 1, {{"USERDOMAIN", "OTHERDOM"}}},
      {{"-g", "Lab Group A", "-q"}, kNoGroupA, 1, {{"USERDOMAIN", std::nullopt}}},
      {{"-g", "Lab Group A", "-q"}, kNoGroupA, 1, {{"USERDOMAIN", ""}}},
      {{"-g", "Lab Group A", "-q"}, kNoGroupA, 1, {{"USERDOMAIN", std::string(63, 'D')}}},
      {{"-g", "Lab Group A", "-q"}, kNoGroupA, 1, {{"USERDOMAIN", Repeat(kE, 32)}}},
      {{"-g", "Lab Group A", "-q"}, "Unable to retrieve your domain name\nErrors: 1 \n", 1, {{"USERDOMAIN", std::string(64, 'D')}}},
      {{"-g", "domain users", "-q"}, "Unable to retrieve your username\nErrors: 1 \n", 1, {{"USERNAME", Repeat(kE, 64)}}},
      {{"-u", "staff200a", "-q"}, "staff200a@agewarden.lab\n", 0, {{"USERDOMAIN", std::nullopt}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args) + " " + ::testing::PrintToString(row.environment));
    const Result r = RunTool({.args = row.args, .environment = row.environment}, 60);
    if (row.match == Match::Exact) { EXPECT_EQ(r.out, row.out); }
    if (row.match == Match::AnyOrder) { EXPECT_EQ(SortedLines(r.out), SortedLines(row.out)); }
    if (row.match == Match::Regex) { EXPECT_TRUE(std::regex_match(r.out, std::regex(row.out))) << r.out; }
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.err, "");
  }
  std::remove(list.c_str());
  std::remove(metacharacters.c_str());
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
  const Result few = RunTool({{"-l", small, "-q"}});
  EXPECT_EQ(few.out, "staff200a@agewarden.lab\nUser object nobody1 could not be found.\n\n" + kInvalid + "Errors: 2 \n");
  const Result many = RunTool({{"-l", big, "-q"}}, 300);
  std::remove(big.c_str());
  std::remove(small.c_str());
  std::map<std::string, int> kinds;
  for (const std::string& line : Lines(many.out)) ++kinds[line.rfind("User object nobody", 0) == 0 ? "not found" : line];
  EXPECT_EQ(kinds, (std::map<std::string, int>{{"staff200a@agewarden.lab", 100}, {"not found", 900}, {"", 900},
                                               {kInvalid.substr(0, kInvalid.size() - 1), 99000}, {"Errors: 99900 ", 1}}));
  EXPECT_EQ(many.status, 254) << "capped";
  EXPECT_EQ(many.err, "");
  std::cout << "[          ] 100,000 names: peak RSS " << many.peakRssKb << " KB (3 names: " << few.peakRssKb << " KB)\n";
  EXPECT_LT(many.peakRssKb, few.peakRssKb + 8 * 1024) << "memory does not grow with the list";
}

// -t zeroes pwdLastSet on exactly the reported accounts and clears "password
// never expires"; nothing else changes. Writes: the lab is reset after.
TEST(AgewardenLab, ForcedChangeWritesExactlyTheReportedAccounts) {
  REQUIRE_LAB();
  const std::string staff = "OU=Staff," + Base();
  const Accounts before = ReadAccounts(staff);
  ASSERT_EQ(before.at("nevexp200").at("userAccountControl"), "66048");
  const Result r = Agewarden({"-t", "-o", "Staff", "-d", "90", "-q"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.err, "");
  const std::set<std::string> aged = {"jose200", "nevexp200", "slashuser", "staff095a", "staff095b",
                                      "staff200a", "staff200b", "staff400a", "staff400b"};
  std::string upns;
  for (const std::string& sam : aged) upns += (sam == "jose200" ? "jos\xC3\xA9" : sam) + "@agewarden.lab\n";
  EXPECT_EQ(SortedLines(r.out), SortedLines(upns)) << "reported";
  Accounts after = ReadAccounts(staff), expected = before;
  for (auto& [sam, entry] : expected) {
    if (aged.count(sam)) {
      entry["pwdLastSet"] = "0";
      entry["userAccountControl"] = std::to_string(std::stol(entry["userAccountControl"]) & ~0x10000L);
    }
    for (auto* account : {&entry, &after[sam]}) {
      for (const char* changes : {"whenChanged", "uSNChanged", "dSCorePropagationData"}) account->erase(changes);
    }
  }
  EXPECT_EQ(after, expected);
  EXPECT_EQ(after["nevexp200"]["userAccountControl"], "512");

  // The zero reads back as the directory's epoch, and is reported again.
  const Result again = Agewarden({"-u", "staff200a"});
  EXPECT_TRUE(std::regex_search(again.out, std::regex("  Last change: 1/1/1601 12:00:00 AM  \\(15[0-9]{4}\\.[0-9] days\\)\n")))
      << again.out;
  ResetLab();
}

}  // namespace
}  // namespace agewarden::lab
