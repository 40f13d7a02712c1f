#include "sources/list_file.h"

#include "run_harness.h"

namespace agewarden::testing {
namespace {

const std::string kPath = ::testing::TempDir() + "agewarden-list.txt";

void Accounts(RunHarness& h) {
  for (const std::string name : {"ann", "bob", "jos\xC3\xA9"}) {
    AddUser(h.server, name, kStaff, name + "@corp.example", kMarch14);
  }
}

// The list file holding `bytes`.
std::function<void(RunHarness&)> List(const std::string& bytes) {
  return [=](RunHarness&) {
    std::FILE* file = std::fopen(kPath.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  };
}

TEST(ListFile, Rows) {
  const std::string longest(kMaxListWordBytes, 'a');
  std::string many, notFound;  // 255 errors: the count is shown whole, the status is 254 (255 is "cannot open")
  for (int i = 0; i < 255; ++i) {
    many += "nobody" + std::to_string(i) + "\n";
    notFound += "User object nobody" + std::to_string(i) + " could not be found.\n\n";
  }
  const std::vector<std::string> quiet = {"-l", kPath, "-q"};
  CheckRuns({
      {quiet, List("ann bob\tann\r\nnobody\va)(\fbob\n\n  "), "ann@corp.example\nbob@corp.example\nann@corp.example\n"
       "User object nobody could not be found.\n\nCould not execute query. An invalid filter was specified.\n"
       "bob@corp.example\nErrors: 2 \n", 2},
      {{"-l", kPath, "-t"}, List(""), "Toggling user objects in list \"" + kPath + "\" with passwords 180 days old or "
       "older.\n\nList \"" + kPath + "\" is empty\nErrors: 1 \n", 1},
      // The longest name is one search; a longer one is skipped whole.
      {quiet, List(longest + "\n" + std::string(kMaxListWordBytes + 1, 'b') + " ann"), "User object " + longest +
       " could not be found.\n\nA name longer than 1024 bytes in list " + kPath + " was skipped.\nann@corp.example\n"
       "Errors: 2 \n", 2},
      // The same name as UTF-8 and as Latin-1, then Latin-1 bytes of no name.
      {quiet, List("jos\xC3\xA9\njos\xE9\n\x80\xFF"), "jos\xC3\xA9@corp.example\njos\xC3\xA9@corp.example\n"
       "User object \xC2\x80\xC3\xBF could not be found.\n\nErrors: 1 \n", 1},
      {quiet, List(many), notFound + "Errors: 255 \n", 254},
  }, Accounts);
  std::remove(kPath.c_str());
}

}  // namespace
}  // namespace agewarden::testing
