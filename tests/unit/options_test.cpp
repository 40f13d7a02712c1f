#include "cli/options.h"

#include "run_fixture.h"

namespace agewarden::testing {
namespace {

const std::string kUsage =
    "\nagewarden -- Windows 2000 Keyfrost\n\n"
    "Syntax: agewarden <user-select-criteria> [-d nnn] [-t] [-q] [-h]\n\n"
    "Where:\n"
    "  <user-select-criteria> is ONE of:\n"
    "  -o OU-name(s) -- OU-name\n"
    "                   Use '/' for downward levels\n"
    "                   Use double-quotes if contains spaces\n"
    "                   Example, simple, no spaces: -o YourOU\n"
    "                   Example, simple, spaces:    -o \"Your OU\"\n"
    "                   Example, nested, no spaces: -o YourOU/YourStaff/Admins\n"
    "                   Example, nested, spaces:    -o \"Your OU/Your Staff/Admins\"\n"
    "  -g groupname  -- Group name (will process nested groups)\n"
    "                   Example, no spaces: -g YourOUAdmins\n"
    "                   Example, spaces:    -g \"Your OU Admins\"\n"
    "  -u username   -- Single username\n"
    "                   Example: -u joeuser\n"
    "  -l file-path  -- List of users (path to txt file with one per line)\n"
    "                   Example: -l \"C:\\Password Control\\admins.txt\"\n\n"
    "  -d n          -- Number of days since password change (default=180)\n"
    "  -t            -- Toggle to force password change (default just displays)\n"
    "  -q            -- Quiet (only display usernames processed and errors)\n"
    "  -h            -- Help with syntax\n\n"
    "agewarden: password-age report and forced password change for Active Directory\n"
    "The agewarden project, free software for directory administrators\n";

const std::string kNone = "ONE of  \"-o\" or \"-u\" or \"-l\" or \"-g\" must be specified.\nUse -h for full help.\n";
const std::string kTwo = "ONLY ONE of \"-o\" or \"-u\" or \"-l\" or \"-g\" may be specified.\nUse -h for full help.\n";
const std::string kDays = "Invalid number of days (must be > 0).\n";

struct Parsed {
  bool ok;
  std::string output;
  RunOptions options;
};

Parsed Parse(std::vector<std::string> args) {
  std::ostringstream out;
  RunState state;
  state.out = &out;
  args.insert(args.begin(), "agewarden");
  const bool ok = ParseCommandLine(args, state) && ValidateOptions(state);
  return {ok, out.str(), state.options};
}

TEST(Options, CommandLineErrorsStopWithTheirMessage) {
  const std::string u259(259, 'u');
  const std::string u260(260, 'u');
  // 258 characters of two bytes each in UTF-8 and one four-byte character
  // (two UTF-16 units): 260 units.
  std::string wide;
  for (int i = 0; i < 258; ++i) wide += "\xC3\xA9";
  wide += "\xF0\x9F\x94\x91";
  struct Case {
    std::vector<std::string> args;
    std::string output;
  };
  const Case cases[] = {
      {{}, kNone},
      {{"-h"}, kUsage},
      {{"-t", "-u"}, kNone},
      {{"-u", "joe", "extra"}, kUsage},
      {{"-u", "joe", "/?"}, kUsage},
      {{"-d30", "-u", "joe"}, kUsage},
      {{"-d", "-u", "joe"}, kUsage},
      {{"-u", "joe", ""}, kUsage},
      {{"-d", "abc", "-u", "joe"}, kDays},
      {{"-d", "0", "-u", "joe"}, kDays},
      {{"-d", "-5", "-u", "joe"}, kDays},
      {{"-d", "0x1E", "-u", "joe"}, kDays},
      {{"-u", "joe", "-g", "Staff"}, kTwo},
      {{"-o", "A", "-g", "B"}, kTwo},
      {{"-l", "f.txt", "-u", "joe"}, kTwo},
      {{"-h", "-u", u260}, "-u value is too long\n"},
      {{"-o", u260}, "-o value is too long\n"},
      {{"-l", u260}, "-l value is too long\n"},
      {{"-g", wide}, "-g value is too long\n"},
      {{"-x", "-u", "joe", "-g", "x"}, kTwo},
      {{"-d", "99999999999999999999", "-d", "-99999999999999999999", "-u", "joe"}, kDays},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Parsed parsed = Parse(c.args);
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.output, c.output);
  }
}

TEST(Options, AcceptedCommandLines) {
  Parsed p = Parse({"-u", "joe", "-t"});
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.output, "");
  EXPECT_EQ(p.options.userName, "joe");
  EXPECT_TRUE(p.options.toggle);
  EXPECT_EQ(p.options.days, 180);

  p = Parse({"-d", "30", "-o", "A/B", "-q"});
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.options.days, 30);
  EXPECT_EQ(p.options.ouPath, "A/B");
  EXPECT_TRUE(p.options.quiet);

  p = Parse({"-u", "-t"});
  EXPECT_EQ(p.options.userName, "-t");
  EXPECT_FALSE(p.options.toggle);

  p = Parse({"-u", "joe", "-d"});
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.options.days, 180);

  p = Parse({"-U", "joe", "-T", "-D", "7"});
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.options.days, 7);
  EXPECT_TRUE(p.options.toggle);

  p = Parse({"-u", "joe", "-u", "ann", "-d", " +15days"});
  EXPECT_EQ(p.options.userName, "ann");
  EXPECT_EQ(p.options.days, 15);

  p = Parse({"-o", ""});
  EXPECT_TRUE(p.ok);
  EXPECT_TRUE(p.options.ouGiven);
  EXPECT_EQ(p.options.ouPath, "");

  p = Parse({"-u", std::string(259, 'u')});
  EXPECT_TRUE(p.ok);

  p = Parse({"-x", "-q", "-u", "joe"});
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.output, "*** DEBUG MODE ***\n");
  EXPECT_FALSE(p.options.quiet);

  p = Parse({"-d", "99999999999999999999", "-u", "joe"});
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.options.days, INT32_MAX);
}

TEST(Options, ParseDays) {
  EXPECT_EQ(ParseDays("30"), 30);
  EXPECT_EQ(ParseDays("30days"), 30);
  EXPECT_EQ(ParseDays("\t -2"), -2);
  EXPECT_EQ(ParseDays("+-1"), 0);
  EXPECT_EQ(ParseDays(""), 0);
  EXPECT_EQ(ParseDays("2147483648"), INT32_MAX);
  EXPECT_EQ(ParseDays("-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseDays("\xd9\xa3"), 0) << "digits outside ASCII are not digits";
}

}  // namespace
}  // namespace agewarden::testing
