#include "cli/options.h"

#include "run_fixture.h"

namespace agewarden::testing {
namespace {

// The usage text: its first and last lines, one in between, and its length.
const std::string kUsageStart = "\nagewarden -- Windows 2000 Keyfrost\n\nSyntax: agewarden <user-select-criteria> [-d nnn]";
const std::string kUsageEnd = "(default=180)\n  -t            -- Toggle to force password change (default just displays)\n"
    "  -q            -- Quiet (only display usernames processed and errors)\n  -h            -- Help with syntax\n\n"
    "agewarden: password-age report and forced password change for Active Directory\n"
    "The agewarden project, free software for directory administrators\n";
const std::string kUsage = "usage";
const std::string kNone = "ONE of  \"-o\" or \"-u\" or \"-l\" or \"-g\" must be specified.\nUse -h for full help.\n";
const std::string kTwo = "ONLY ONE of \"-o\" or \"-u\" or \"-l\" or \"-g\" may be specified.\nUse -h for full help.\n";
const std::string kDays = "Invalid number of days (must be > 0).\n";

TEST(Options, CommandLineErrorsStopWith255AndTheirMessage) {
  const std::string u260(260, 'u');
  // 258 two-byte characters and one four-byte character (two UTF-16 units).
  std::string wide;
  for (int i = 0; i < 258; ++i) wide += "\xC3\xA9";
  wide += "\xF0\x9F\x94\x91";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, kNone}, {{"-h"}, kUsage}, {{"-t", "-u"}, kNone}, {{"-u", "joe", "extra"}, kUsage},
      {{"-u", "joe", "/?"}, kUsage}, {{"-d30", "-u", "joe"}, kUsage}, {{"-d", "-u", "joe"}, kUsage},
      {{"-u", "joe", ""}, kUsage}, {{"-d", "abc", "-u", "joe"}, kDays}, {{"-d", "0", "-u", "joe"}, kDays},
      {{"-d", "\t -5", "-u", "joe"}, kDays}, {{"-d", "+-1", "-u", "joe"}, kDays},
      {{"-d", "0x1E", "-u", "joe"}, kDays}, {{"-d", "\xd9\xa3", "-u", "joe"}, kDays},
      {{"-d", "99999999999999999999", "-d", "-99999999999999999999", "-u", "joe"}, kDays},
      {{"-u", "joe", "-g", "Staff"}, kTwo}, {{"-o", "A", "-G", "B"}, kTwo}, {{"-l", "f.txt", "-u", "joe"}, kTwo},
      {{"-x", "-u", "joe", "-g", "x"}, kTwo}, {{"-h", "-U", u260}, "-u value is too long\n"},
      {{"-o", u260}, "-o value is too long\n"}, {{"-l", u260}, "-l value is too long\n"},
      {{"-g", wide}, "-g value is too long\n"},
  };
  for (const auto& [args, output] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    RunHarness h;
    EXPECT_EQ(h.Run(args), 255);
    if (output == kUsage) {
      EXPECT_EQ(h.Output().substr(0, kUsageStart.size()), kUsageStart);
      EXPECT_EQ(h.Output().substr(h.Output().size() - kUsageEnd.size()), kUsageEnd);
      EXPECT_NE(h.Output().find("\n                   Example: -l \"C:\\Password Control\\admins.txt\"\n\n"), std::string::npos);
      EXPECT_EQ(h.Output().size(), 1325u);
    } else {
      EXPECT_EQ(h.Output(), output);
    }
    EXPECT_EQ(h.directory.starts, 0);
  }
}

TEST(Options, AcceptedCommandLines) {
  // The options as "mode:value days flags".
  const auto summary = [](const RunOptions& o) {
    const char* modes[] = {"u", "l", "o", "g"};
    const std::string* values[] = {&o.userName, &o.listPath, &o.ouPath, &o.groupName};
    const int mode = static_cast<int>(GetSelectionMode(o));
    return Format("%s:%s %d%s%s%s", modes[mode], *values[mode], o.days, o.toggle ? " t" : "", o.quiet ? " q" : "",
                  o.debug ? " x" : "");
  };
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-u", "joe", "-t"}, "u:joe 180 t"}, {{"-d", "30", "-o", "A/B", "-q"}, "o:A/B 30 q"},
      {{"-u", "-t"}, "u:-t 180"}, {{"-u", "joe", "-d"}, "u:joe 180"},
      {{"-U", "joe", "-T", "-D", "7", "-Q"}, "u:joe 7 t q"}, {{"-u", "joe", "-u", "ann", "-d", " +15days"}, "u:ann 15"},
      {{"-o", ""}, "o: 180"}, {{"-l", std::string(259, 'l')}, "l:" + std::string(259, 'l') + " 180"},
      {{"-x", "-q", "-g", "G"}, "g:G 180 x"}, {{"-d", "99999999999999999999", "-u", "j"}, "u:j 2147483647"},
  };
  for (const auto& [args, expected] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    std::vector<std::string> argv = args;
    argv.insert(argv.begin(), "agewarden");
    std::ostringstream out;
    const std::optional<RunOptions> options = ParseCommandLine(argv, out);
    ASSERT_TRUE(options.has_value());
    EXPECT_EQ(summary(*options), expected);
    EXPECT_EQ(out.str(), options->debug ? "*** DEBUG MODE ***\n" : "");
  }
}

}  // namespace
}  // namespace agewarden::testing
