#include "run_harness.h"

namespace agewarden::testing {
namespace {

// The command line: errors stop with 255 before the directory is reached;
// what is accepted shows in the banner and the search.
TEST(Options, Rows) {
  const std::string none = "ONE of  \"-o\" or \"-u\" or \"-l\" or \"-g\" must be specified.\nUse -h for full help.\n";
  const std::string two = "ONLY ONE of \"-o\" or \"-u\" or \"-l\" or \"-g\" may be specified.\nUse -h for full help.\n";
  const std::string days = "Invalid number of days (must be > 0).\n";
  const std::string u260(260, 'u'), l259(259, 'l');
  std::string wide;  // 257 two-byte characters and one four-byte character: 259 UTF-16 units
  for (int i = 0; i < 257; ++i) wide += "\xC3\xA9";
  wide += "\xF0\x9F\x94\x91";
  CheckRuns({
      {{}, nullptr, none, 255}, {{"-t", "-u"}, nullptr, none, 255}, {{"-d", "abc", "-u", "joe"}, nullptr, days, 255},
      {{"-d", "\t -5", "-u", "joe"}, nullptr, days, 255},
      {{"-d", "99999999999999999999", "-d", "-99999999999999999999", "-u", "j"}, nullptr, days, 255},
      {{"-u", "joe", "-g", "Staff"}, nullptr, two, 255}, {{"-o", "A", "-G", "B"}, nullptr, two, 255},
      {{"-l", "f", "-x", "-u", "j"}, nullptr, two, 255}, {{"-h", "-U", u260}, nullptr, "-u value is too long\n", 255},
      {{"-g", wide + "a"}, nullptr, "-g value is too long\n", 255},
      {{"-l", l259}, nullptr, "Cannot open input file: \"" + l259 + "\"\n", 255},
      {{"-g", wide}, nullptr, "Displaying user objects in group \"" + wide + "\" with passwords 180 days old or older."
       "\n\nCould not find Group \"" + wide + "\"\nErrors: 1 \n", 1},
      {{"-u", "-t", "-d"}, nullptr, "Displaying user \"-t\" with passwords 180 days old or older.\n\n"
       "User object \"-t\" could not be found.\nErrors: 1 \n", 1},
      {{"-d", "99999999999999999999", "-u", "j"}, nullptr, "Displaying user \"j\" with passwords 2147483647 days old or"
       " older.\n\nUser object \"j\" could not be found.\nErrors: 1 \n", 1},
  });
  // The usage text, for -h and for any word no option takes.
  const std::vector<std::string> usage[] = {{"-h"}, {"-u", "joe", "extra"}, {"-d30", "-u", "j"}};
  for (const std::vector<std::string>& args : usage) {
    RunHarness h;
    EXPECT_EQ(h.Run(args), 255);
    EXPECT_TRUE(h.out.str().starts_with("\nagewarden -- Windows 2000 Keyfrost\n\nSyntax: agewarden <user-select"));
    EXPECT_EQ(h.out.str().size(), 1325u);
    EXPECT_EQ(h.Run(args, RunTool), -1) << "what the Windows build exits with";
  }
}

}  // namespace
}  // namespace agewarden::testing
