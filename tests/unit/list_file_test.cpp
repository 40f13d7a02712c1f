#include "sources/list_file.h"

#include "run_fixture.h"

namespace agewarden::testing {
namespace {

TEST(ListFile, Rows) {
  const std::string path = ::testing::TempDir() + "agewarden-list.txt";
  const std::string longest(kMaxListWordBytes, 'a');
  const std::string tooLong = "A name longer than 1024 bytes in list " + path + " was skipped.\n";
  const std::string banner = "Displaying user objects in list \"" + path + "\" with passwords 180 days old or older.\n\n";
  struct Case {
    std::string bytes;
    std::vector<std::string> flags;
    std::string output;
    int status;
    size_t searches;
  };
  const Case cases[] = {
      {"ann bob\tann\r\nnobody\vbob\fann\n\n  ", {"-q"},
       "ann@corp.example\nbob@corp.example\nann@corp.example\nUser object nobody could not be found.\n\n"
       "bob@corp.example\nann@corp.example\nErrors: 1 \n", 1, 6},
      {"", {}, banner + "List \"" + path + "\" is empty\nErrors: 1 \n", 1, 0},
      {" \n\t\r\n", {"-q"}, "List \"" + path + "\" is empty\nErrors: 1 \n", 1, 0},
      // The longest name is one search; a longer one is skipped whole.
      {longest + "\n" + std::string(kMaxListWordBytes + 1, 'b') + " ann", {"-q"},
       "User object " + longest + " could not be found.\n\n" + tooLong + "ann@corp.example\nErrors: 2 \n", 2, 2},
      {std::string(kMaxListWordBytes + 1, 'b'), {"-q"}, tooLong + "Errors: 1 \n", 1, 0},
      // The same name once as UTF-8 and once as a Latin-1 byte.
      {"jos\xC3\xA9\njos\xE9\n", {"-q"}, "jos\xC3\xA9@corp.example\njos\xC3\xA9@corp.example\n", 0, 2},
      {"\x80\xFF", {"-q"}, "User object \xC2\x80\xC3\xBF could not be found.\n\nErrors: 1 \n", 1, 1},
      {"ann a)( bob", {"-q"},
       "ann@corp.example\nCould not execute query. An invalid filter was specified.\nbob@corp.example\nErrors: 1 \n", 1, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output.substr(0, 80));
    RunHarness h;
    for (const char* name : {"ann", "bob", "jos\xC3\xA9"}) {
      h.directory.AddUser(name, kStaff, std::string(name) + "@corp.example", kMarch14);
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(c.bytes.data(), 1, c.bytes.size(), file);
    std::fclose(file);
    std::vector<std::string> args = {"-l", path};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    EXPECT_EQ(h.Run(args), c.status);
    EXPECT_EQ(h.Output().substr(0, c.output.size()), c.output);
    EXPECT_EQ(h.directory.filters.size(), c.searches);
    std::remove(path.c_str());
  }
}

TEST(ListFile, AnEndlessWordIsSkippedOnceAndNeverKept) {
  // Five million NUL bytes.
  int words = 0, skipped = 0;
  std::FILE* bounded = popen("head -c 5000000 /dev/zero", "r");
  ASSERT_NE(bounded, nullptr);
  EXPECT_EQ(ReadListWords(bounded, [&](const std::string&) { ++words; }, [&] { ++skipped; }), 1);
  pclose(bounded);
  EXPECT_EQ(words, 0);
  EXPECT_EQ(skipped, 1);
}

}  // namespace
}  // namespace agewarden::testing
