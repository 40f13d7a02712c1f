// Bad input end to end with the real binary: every command-line error, long
// and invalid UTF-8 values, filter metacharacters, odd OU paths, large,
// garbage and unopenable list files, and USERDOMAIN unset, empty or too long.
// Each gives its message, its count and status, and nothing on standard
// error. The cases that stop before the directory is asked need no lab and
// never skip; the unit tests cover the logic, these the binary.
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "fault_support.h"
#include "lab_support.h"

namespace agewarden::lab {
namespace {

const std::string kDays = "Invalid number of days (must be > 0).\n";
const std::string kNone = "ONE of  \"-o\" or \"-u\" or \"-l\" or \"-g\" must be specified.\nUse -h for full help.\n";
const std::string kTwo = "ONLY ONE of \"-o\" or \"-u\" or \"-l\" or \"-g\" may be specified.\nUse -h for full help.\n";
const std::string kInvalidFilter = "Could not execute query. An invalid filter was specified.\n";

std::string Repeat(const std::string& unit, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += unit;
  return text;
}

// Values of 259 and 260 UTF-16 characters: two-byte é, four-byte 🔑 (two
// UTF-16 units each) and bytes that are no UTF-8 (one unit each).
const std::string kE = "\xC3\xA9";
const std::string kKey = "\xF0\x9F\x94\x91";
const std::string k259Two = Repeat(kE, 259);
const std::string k260Two = Repeat(kE, 260);
const std::string k259Four = Repeat(kKey, 129) + "a";
const std::string k260Four = Repeat(kKey, 129) + "ab";
const std::string k259Bad = Repeat("\xFF", 259);
const std::string k260Bad = Repeat("\xFE", 260);

struct Case {
  std::vector<std::string> args;
  std::string out;
  int status;
  std::map<std::string, std::optional<std::string>> environment = {};
};

void ExpectCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args) + " " + ::testing::PrintToString(c.environment));
    const Outcome r = RunTool({.args = c.args, .environment = c.environment}, 60);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(r.overran);
  }
}

TEST(BadInput, CommandLineErrors) {
  const Outcome help = RunTool({{"-h"}});
  ASSERT_EQ(help.status, 255);
  ASSERT_EQ(help.out.rfind("\nagewarden -- ", 0), 0u) << help.out;
  ASSERT_NE(help.out.find("Syntax: agewarden <user-select-criteria> [-d nnn] [-t] [-q] [-h]\n"), std::string::npos);
  const std::string& usage = help.out;
  ExpectCases({
      // The usage text: -h, any other word no option takes, in any case.
      {{"-H"}, usage, 255},
      {{"-?"}, usage, 255},
      {{"/?"}, usage, 255},
      {{"--help"}, usage, 255},
      {{"-u", "joe", "extra"}, usage, 255},
      {{"-u", "joe", ""}, usage, 255},
      {{"-d5", "-u", "joe"}, usage, 255},
      {{"-d", "0", "-h", "-u", "joe", "-o", "x"}, usage, 255},
      // The number of days.
      {{"-d", "0", "-u", "joe"}, kDays, 255},
      {{"-d", "-1", "-u", "joe"}, kDays, 255},
      {{"-d", "abc", "-u", "joe"}, kDays, 255},
      {{"-d", "", "-u", "joe"}, kDays, 255},
      {{"-d", "\xFF" "5", "-u", "joe"}, kDays, 255},
      {{"-D", "-99999999999999999999", "-u", "joe"}, kDays, 255},
      // One selection, and only one.
      {{}, kNone, 255},
      {{"-u"}, kNone, 255},
      {{"-t", "-q", "-x", "-d", "30"}, kNone, 255},
      {{"-u", "joe", "-o", "Staff"}, kTwo, 255},
      {{"-L", "list.txt", "-G", "group"}, kTwo, 255},
      {{"-x", "-u", "joe", "-g", "group"}, kTwo, 255},
      // Values of 260 UTF-16 characters are refused, whatever follows.
      {{"-u", k260Two}, "-u value is too long\n", 255},
      {{"-O", k260Four}, "-o value is too long\n", 255},
      {{"-l", k260Bad}, "-l value is too long\n", 255},
      {{"-g", k260Two, "-u", "joe"}, "-g value is too long\n", 255},
      {{"-h", "-u", k260Four}, "-u value is too long\n", 255},
      // 259 are taken: the run goes on to the next check (here the days).
      {{"-u", k259Two, "-d", "0"}, kDays, 255},
      {{"-o", k259Four, "-d", "0"}, kDays, 255},
      {{"-l", k259Bad, "-d", "0"}, kDays, 255},
      {{"-g", k259Two, "-d", "0"}, kDays, 255},
  });
}

TEST(BadInput, EnvironmentAndListFileErrorsBeforeTheDirectory) {
  const std::string dir = ::testing::TempDir();
  ExpectCases({
      // USERDOMAIN and USERNAME longer than 63 UTF-16 characters.
      {{"-u", "joe"}, "Unable to retrieve your domain name\nErrors: 1 \n", 1,
       {{"USERDOMAIN", std::string(64, 'D')}}},
      {{"-g", "Lab Group A"}, "Unable to retrieve your domain name\nErrors: 1 \n", 1,
       {{"USERDOMAIN", Repeat("\xFF", 64)}}},
      {{"-g", "domain users", "-q"}, "Unable to retrieve your username\nErrors: 1 \n", 1,
       {{"USERDOMAIN", "AGEWARDEN"}, {"USERNAME", Repeat(kE, 64)}}},  // 64 UTF-16 characters
      // List files that cannot be opened.
      {{"-l", "/nonexistent/list.txt"}, "Cannot open input file: \"/nonexistent/list.txt\"\n", 255},
      {{"-l", dir, "-q"}, "Cannot open input file: \"" + dir + "\"\n", 255},
      {{"-l", "/"}, "Cannot open input file: \"/\"\n", 255},
      {{"-l", ""}, "Cannot open input file: \"\"\n", 255},
      {{"-l", "/nonexistent/\xFF\xFE.txt"}, "Cannot open input file: \"/nonexistent/\xFF\xFE.txt\"\n", 255},
  });
}

// The rest asks the directory.
class BadInputLab : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_LAB(); }
};

TEST_F(BadInputLab, LongAndInvalidUtf8Values) {
  const auto notFound = [](const std::string& name) {
    return "User object \"" + name + "\" could not be found.\nErrors: 1 \n";
  };
  ExpectCases({
      {{"-u", k259Two, "-q"}, notFound(k259Two), 1},
      {{"-u", k259Four, "-q"}, notFound(k259Four), 1},
      {{"-u", k259Bad, "-q"}, notFound(k259Bad), 1},
      {{"-o", k259Two, "-q"}, "Could not find OU \"" + k259Two + "\".\nErrors: 1 \n", 1},
      {{"-g", k259Four, "-q"}, "Could not find Group \"" + k259Four + "\"\nErrors: 1 \n", 1},
      {{"-u", "jos\xE9", "-q"}, notFound("jos\xE9"), 1},  // Latin-1 is taken as given on the command line
      {{"-u", "\xC3", "-q"}, notFound("\xC3"), 1},        // a sequence cut short
      {{"-u", "\xED\xA0\x80", "-q"}, notFound("\xED\xA0\x80"), 1},  // a UTF-16 surrogate
      {{"-o", "St\xE4" "ff", "-q"}, "Could not find OU \"St\xE4" "ff\".\nErrors: 1 \n", 1},
      {{"-g", "Lab Group A\xFF", "-q"}, "Could not find Group \"Lab Group A\xFF\"\nErrors: 1 \n", 1},
      {{"-g", "Lab Group A", "-q", "-d", "1"}, "Could not find Group \"Lab Group A\"\nErrors: 1 \n", 1,
       {{"USERDOMAIN", "AGEWARDEN\xFF"}}},
  });
}

TEST_F(BadInputLab, FilterMetacharacters) {
  const std::vector<Case> cases = {
      {{"-u", "(", "-q"}, kInvalidFilter + "Errors: 1 \n", 1},
      {{"-u", ")", "-q"}, kInvalidFilter + "Errors: 1 \n", 1},
      {{"-u", "a)(b", "-q"}, kInvalidFilter + "Errors: 1 \n", 1},
      {{"-u", "\\", "-q"}, kInvalidFilter + "Errors: 1 \n", 1},
      {{"-u", "staff200a\\", "-q"}, kInvalidFilter + "Errors: 1 \n", 1},
      // An escape is an escape: \2a is a star, not a wildcard.
      {{"-u", "\\2a", "-q"}, "User object \"\\2a\" could not be found.\nErrors: 1 \n", 1},
      {{"-u", "staff200\\61", "-q"}, "staff200a@agewarden.lab\n", 0},
      // A filter written into the name stays inside the UPN clause.
      {{"-u", "*)(objectClass=*", "-q"}, "User object \"*)(objectClass=*\" could not be found.\nErrors: 1 \n", 1},
  };
  ExpectCases(cases);

  const Outcome wildcard = RunTool({{"-u", "staff20*", "-q"}});
  EXPECT_EQ(SortedLines(wildcard.out), (std::vector<std::string>{"staff200a@agewarden.lab", "staff200b@agewarden.lab"}));
  EXPECT_EQ(wildcard.status, 0);
  const Outcome everyone = RunTool({{"-u", "*", "-q", "-d", "1"}});
  EXPECT_EQ(everyone.status, 0);
  EXPECT_NE(everyone.out.find("staff010a@agewarden.lab\n"), std::string::npos);
  EXPECT_NE(everyone.out.find("plainuser@agewarden.lab\n"), std::string::npos);

  // The same words in a list: each is searched on its own and counted.
  const std::string list = TempPath("metacharacters.txt");
  std::ofstream(list) << "staff200a\n(\n)\na)(b\n\\\n\\2a\nstaff20*\n*)(objectClass=*\n";
  const Outcome r = RunTool({{"-l", list, "-q"}});
  std::remove(list.c_str());
  EXPECT_EQ(r.out, "staff200a@agewarden.lab\n" + kInvalidFilter + kInvalidFilter + kInvalidFilter + kInvalidFilter +
                       "User object \\2a could not be found.\n\n" +
                       (r.out.find("staff200a@agewarden.lab\nstaff200b") != std::string::npos
                            ? "staff200a@agewarden.lab\nstaff200b@agewarden.lab\n"
                            : "staff200b@agewarden.lab\nstaff200a@agewarden.lab\n") +
                       "User object *)(objectClass=* could not be found.\n\nErrors: 6 \n");
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.err, "");
}

TEST_F(BadInputLab, OuPathsWithQuotesCommasBackslashesAnd38Levels) {
  // 38 levels, each with a quote, a comma and a backslash: 189 characters.
  std::string path;
  std::vector<std::string> levels;
  for (int i = 0; i < 38; ++i) {
    levels.push_back("\",\\" + std::to_string(i % 10));
    path += (i ? "/" : "") + levels.back();
  }
  std::string chain;
  for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
    chain += (chain.empty() ? "" : ",") + std::string("OU=\"") + *level + "\"";
  }
  const std::string base = getenv("LAB_BASE") != nullptr ? getenv("LAB_BASE") : "DC=agewarden,DC=lab";
  const Outcome debug = RunTool({{"-x", "-o", path}});
  EXPECT_NE(debug.out.find("OU After: " + chain + "\n"), std::string::npos) << debug.out;
  EXPECT_NE(debug.out.find("Container: LDAP://" + chain + "," + base + "\n"), std::string::npos);
  EXPECT_EQ(debug.status, 1);

  ExpectCases({
      {{"-o", path, "-q"}, "Could not find OU \"" + path + "\".\nErrors: 1 \n", 1},
      {{"-o", "Staff, East/\"Quoted\"/Back\\slash", "-q"},
       "Could not find OU \"Staff, East/\"Quoted\"/Back\\slash\".\nErrors: 1 \n", 1},
      {{"-o", "Staff\"", "-q"}, "Could not find OU \"Staff\"\".\nErrors: 1 \n", 1},
      {{"-o", "///", "-q"}, "Could not find OU \"///\".\nErrors: 1 \n", 1},
      {{"-o", "", "-q"}, "Could not find OU \"\".\nErrors: 1 \n", 1},
      {{"-o", Repeat("x/", 129) + "x", "-q"}, "Could not find OU \"" + Repeat("x/", 129) + "x\".\nErrors: 1 \n", 1},
  });
}

TEST_F(BadInputLab, ListOf100000Names) {
  // 100,000 names: one in a thousand is an account, one in a hundred is
  // looked up and not found, and the rest hold a "(" that makes the filter
  // invalid, so libldap refuses them without a round trip to the DC and the
  // run stays short. Every name is read, searched (or refused) and counted
  // in a constant amount of memory.
  const std::string big = TempPath("100000.txt");
  {
    std::ofstream out(big);
    for (int i = 0; i < 100000; ++i) {
      char word[32];
      std::snprintf(word, sizeof word, i % 1000 == 0 ? "staff200a" : i % 100 == 0 ? "nobody%06d" : "bad(%06d", i);
      out << word << (i % 7 == 0 ? "\t" : "\n");
    }
  }
  const std::string small = TempPath("3.txt");
  std::ofstream(small) << "staff200a nobody000100\nbad(000001\n";
  const Outcome few = RunTool({{"-l", small, "-q"}});
  EXPECT_EQ(few.out, "staff200a@agewarden.lab\nUser object nobody000100 could not be found.\n\n" + kInvalidFilter +
                         "Errors: 2 \n");
  const Outcome many = RunTool({{"-l", big, "-q"}}, 300);
  std::remove(big.c_str());
  std::remove(small.c_str());
  std::map<std::string, int> kinds;
  for (const std::string& line : Lines(many.out)) {
    ++kinds[line.rfind("User object nobody", 0) == 0 ? "not found" : line];
  }
  EXPECT_EQ(kinds["staff200a@agewarden.lab"], 100);
  EXPECT_EQ(kinds["not found"], 900);
  EXPECT_EQ(kinds[kInvalidFilter.substr(0, kInvalidFilter.size() - 1)], 99000);
  EXPECT_EQ(kinds["Errors: 99900 "], 1) << "the true count";
  EXPECT_EQ(many.status, 254) << "capped";
  EXPECT_EQ(many.err, "");
  EXPECT_FALSE(many.overran);
  EXPECT_LT(many.seconds, 120.0);
  std::cout << "[          ] 100,000 names in " << many.seconds << " s, peak RSS " << many.peakRssKb
            << " KB (3 names: " << few.peakRssKb << " KB)\n";
  EXPECT_LT(many.peakRssKb, 64 * 1024);
  EXPECT_LT(many.peakRssKb, few.peakRssKb + 8 * 1024) << "memory does not grow with the list";
}

TEST_F(BadInputLab, GarbageEmptyAndBlankListFiles) {
  // 64 KB of bytes from a fixed generator, NULs and invalid UTF-8 included,
  // with one run of 2,000 bytes without white space (a name too long). No
  // '*' in it: a wildcard word could match real accounts.
  std::string garbage;
  uint32_t state = 12345;
  for (int i = 0; i < 65536; ++i) {
    state = state * 1103515245u + 12345u;
    char c = static_cast<char>(state >> 23);
    if (c == '*') c = '#';
    garbage += c;
  }
  garbage.replace(30000, 2000, std::string(2000, 'g'));
  const std::string path = TempPath("garbage.bin");
  std::ofstream(path, std::ios::binary) << garbage;
  // The words as the tool splits them.
  int words = 0;
  int tooLong = 0;
  size_t length = 0;
  for (size_t i = 0; i <= garbage.size(); ++i) {
    const bool space = i == garbage.size() || std::string(" \t\n\r\v\f").find(garbage[i]) != std::string::npos;
    if (!space) {
      ++length;
      continue;
    }
    if (length > 0) ++words;
    if (length > 1024) ++tooLong;
    length = 0;
  }
  ASSERT_GT(words, 100);
  const Outcome r = RunTool({{"-l", path, "-q"}}, 120);
  std::remove(path.c_str());
  int notFound = 0, invalid = 0, skipped = 0, failed = 0, counted = -1;
  const std::string skip = "A name longer than 1024 bytes in list " + path + " was skipped.";
  for (const std::string& line : Lines(r.out)) {
    const std::string_view end = " could not be found.";
    if (line.rfind("User object ", 0) == 0 && line.size() >= end.size() &&
        line.compare(line.size() - end.size(), end.size(), end) == 0) {
      ++notFound;
    } else if (line + "\n" == kInvalidFilter) {
      ++invalid;
    } else if (line == skip) {
      ++skipped;
    } else if (line.rfind("Query failed to run. HRESULT: ", 0) == 0) {
      ++failed;
    } else if (line.rfind("Errors: ", 0) == 0) {
      counted = std::atoi(line.c_str() + 8);
    }
  }
  EXPECT_EQ(skipped, tooLong);
  EXPECT_EQ(notFound + invalid + skipped + failed, words) << "one line for each word";
  EXPECT_EQ(counted, words) << "and one error";
  EXPECT_EQ(r.status, std::min(words, 254));
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(r.overran);

  const std::string empty = TempPath("empty.txt");
  std::ofstream(empty) << "";
  const std::string blank = TempPath("blank.txt");
  std::ofstream(blank) << " \r\n\t\n\v\f ";
  ExpectCases({
      {{"-l", empty, "-q"}, "List \"" + empty + "\" is empty\nErrors: 1 \n", 1},
      {{"-l", blank, "-q"}, "List \"" + blank + "\" is empty\nErrors: 1 \n", 1},
  });
  std::remove(empty.c_str());
  std::remove(blank.c_str());
}

TEST_F(BadInputLab, UserDomainUnsetEmptyAndLong) {
  const std::string notFound = "Could not find Group \"Lab Group A\"\nErrors: 1 \n";
  ExpectCases({
      {{"-g", "Lab Group A", "-q"}, notFound, 1, {{"USERDOMAIN", std::nullopt}}},
      {{"-g", "Lab Group A", "-q"}, notFound, 1, {{"USERDOMAIN", ""}}},
      {{"-g", "Lab Group A", "-q"}, notFound, 1, {{"USERDOMAIN", std::string(63, 'D')}}},
      {{"-g", "Lab Group A", "-q"}, notFound, 1, {{"USERDOMAIN", Repeat(kE, 32)}}},  // 64 bytes, 32 units
      {{"-g", "Lab Group A", "-q"}, "Unable to retrieve your domain name\nErrors: 1 \n", 1,
       {{"USERDOMAIN", std::string(64, 'D')}}},
      // A user or an OU does not need the domain name.
      {{"-u", "staff200a", "-q"}, "staff200a@agewarden.lab\n", 0, {{"USERDOMAIN", std::nullopt}}},
      {{"-o", "Your OU/Your Staff/Admins", "-q", "-d", "300"}, "admin400@agewarden.lab\n", 0, {{"USERDOMAIN", ""}}},
  });
  const Outcome unset = RunTool({.args = {"-x", "-g", "Lab Group A"}, .environment = {{"USERDOMAIN", std::nullopt}}});
  EXPECT_NE(unset.out.find("Domain name: %USERDOMAIN%\n"), std::string::npos) << unset.out;
  const Outcome empty = RunTool({.args = {"-x", "-g", "Lab Group A"}, .environment = {{"USERDOMAIN", ""}}});
  EXPECT_NE(empty.out.find("Domain name: \n"), std::string::npos) << empty.out;
}

}  // namespace
}  // namespace agewarden::lab
