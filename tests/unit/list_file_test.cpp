#include "sources/list_file.h"

#include "fake_directory.h"

namespace agewarden::testing {
namespace {

TEST(ListFile, Rows) {
  const std::string path = ::testing::TempDir() + "agewarden-list.txt";
  const std::string longest(kMaxListWordBytes, 'a');
  const std::string tooLong = "A name longer than 1024 bytes in list " + path + " was skipped.\n";
  struct Case {
    std::string bytes;
    std::string output;  // quiet; the empty list with -t
    int status;
    size_t searches;
  };
  std::string many, notFound;  // the error count is shown whole, the status caps
  for (int i = 0; i < 300; ++i) {
    many += "nobody" + std::to_string(i) + "\n";
    notFound += "User object nobody" + std::to_string(i) + " could not be found.\n\n";
  }
  const Case cases[] = {
      {"ann bob\tann\r\nnobody\va)(\fbob\n\n  ", "ann@corp.example\nbob@corp.example\nann@corp.example\nUser object "
       "nobody could not be found.\n\nCould not execute query. An invalid filter was specified.\nbob@corp.example\n"
       "Errors: 2 \n", 2, 6},
      {"", "Toggling user objects in list \"" + path + "\" with passwords 180 days old or older.\n\nList \"" + path +
       "\" is empty\nErrors: 1 \n", 1, 0},
      // The longest name is one search; a longer one is skipped whole.
      {longest + "\n" + std::string(kMaxListWordBytes + 1, 'b') + " ann", "User object " + longest +
       " could not be found.\n\n" + tooLong + "ann@corp.example\nErrors: 2 \n", 2, 2},
      // The same name as UTF-8 and as Latin-1, then Latin-1 bytes of no name.
      {"jos\xC3\xA9\njos\xE9\n\x80\xFF", "jos\xC3\xA9@corp.example\njos\xC3\xA9@corp.example\nUser object \xC2\x80\xC3\xBF"
       " could not be found.\n\nErrors: 1 \n", 1, 3},
      {many, notFound + "Errors: 300 \n", 254, 300},
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
    EXPECT_EQ(h.Run({"-l", path, c.bytes.empty() ? "-t" : "-q"}), c.status);
    EXPECT_EQ(h.out.str(), c.output);
    EXPECT_EQ(h.directory.filters.size(), c.searches);
    std::remove(path.c_str());
  }
}

}  // namespace
}  // namespace agewarden::testing
