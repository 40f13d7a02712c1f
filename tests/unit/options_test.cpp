#include "fake_directory.h"

namespace agewarden::testing {
namespace {

// The command line: errors stop with 255 before the directory is reached;
// what is accepted shows in the banner and the search.
TEST(Options, Rows) {
  const std::string usage = "\nagewarden -- Windows 2000 Keyfrost\n\nSyntax: agewarden <user-select-criteria> [-d nnn]";
  const std::string none = "ONE of  \"-o\" or \"-u\" or \"-l\" or \"-g\" must be specified.\nUse -h for full help.\n";
  const std::string two = "ONLY ONE of \"-o\" or \"-u\" or \"-l\" or \"-g\" may be specified.\nUse -h for full help.\n";
  const std::string days = "Invalid number of days (must be > 0).\n";
  const std::string u260(260, 'u'), l259(259, 'l');
  std::string wide;  // 257 two-byte characters and one four-byte character: 259 UTF-16 units
  for (int i = 0; i < 257; ++i) wide += "\xC3\xA9";
  wide += "\xF0\x9F\x94\x91";
  const std::tuple<std::vector<std::string>, std::string, int> cases[] = {
      {{}, none, 255}, {{"-h"}, usage, 255}, {{"-t", "-u"}, none, 255}, {{"-u", "joe", "extra"}, usage, 255},
      {{"-d30", "-u", "joe"}, usage, 255}, {{"-d", "abc", "-u", "joe"}, days, 255}, {{"-d", "0", "-u", "joe"}, days, 255},
      {{"-d", "\t -5", "-u", "joe"}, days, 255}, {{"-d", "99999999999999999999", "-d", "-99999999999999999999", "-u", "j"}, days, 255},
      {{"-u", "joe", "-g", "Staff"}, two, 255}, {{"-o", "A", "-G", "B"}, two, 255}, {{"-l", "f", "-x", "-u", "j"}, two, 255},
      {{"-h", "-U", u260}, "-u value is too long\n", 255}, {{"-o", u260}, "-o value is too long\n", 255},
      {{"-l", u260}, "-l value is too long\n", 255}, {{"-g", wide + "a"}, "-g value is too long\n", 255},
      {{"-l", l259}, "Cannot open input file: \"" + l259 + "\"\n", 255},
      {{"-g", wide}, "Displaying user objects in group \"" + wide + "\" with passwords 180 days old or older.\n\n"
       "Could not find Group \"" + wide + "\"\nErrors: 1 \n", 1},
      {{"-u", "-t", "-d"}, "Displaying user \"-t\" with passwords 180 days old or older.\n\nUser object \"-t\" could not be "
       "found.\nErrors: 1 \n", 1},
      {{"-d", "99999999999999999999", "-u", "j"}, "Displaying user \"j\" with passwords 2147483647 days old or older.\n\n"
       "User object \"j\" could not be found.\nErrors: 1 \n", 1},
  };
  for (const auto& [args, output, status] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    RunHarness h;
    EXPECT_EQ(h.Run(args), status);
    const std::string printed = h.out.str();
    EXPECT_EQ(output == usage ? printed.substr(0, usage.size()) : printed, output);
    EXPECT_EQ(printed.size(), output == usage ? 1325u : output.size());
    EXPECT_EQ(h.directory.starts, status == 255 ? 0 : 1);
  }
}

}  // namespace
}  // namespace agewarden::testing
