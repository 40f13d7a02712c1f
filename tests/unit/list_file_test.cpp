// List files: their words searched in list order, read ahead and asked for
// many to a search, which gives what one search per name gives.
#include "sources/list_file.h"

#include <fstream>

#include "run_harness.h"

namespace agewarden::testing {
namespace {

const std::string kPath = ::testing::TempDir() + "agewarden-list.txt";
const std::string kJose = "jos\xC3\xA9";

// ann, bob, josé (whose password never expires) and a*b; the server also
// takes JOSÉ for josé, as its case folding beyond ASCII does.
void Accounts(RunHarness& h) {
  for (const std::string& name : std::vector<std::string>{"ann", "bob", kJose, "a*b"}) {
    AddUser(h.server, name, kStaff, name + "@corp.example", kMarch14, name == kJose ? 66048 : 512);
  }
  h.server.alsoEqual = [](std::string_view stored, std::string_view asserted) {
    return stored == kJose + "@corp.example" && asserted == "JOS\xC3\x89@corp.example";
  };
}

// The list file holding `bytes`.
std::function<void(RunHarness&)> List(const std::string& bytes) {
  return [=](RunHarness&) { std::ofstream(kPath, std::ios::binary) << bytes; };
}

TEST(ListFile, Rows) {
  const std::string longest(kMaxListWordBytes, 'a'), changed = ": pwdLastSet=0 userAccountControl=512;";
  const std::vector<std::string> quiet = {"-l", kPath, "-q"}, toggle = {"-l", kPath, "-q", "-t"};
  const std::string toggling = "Toggling user objects in list \"" + kPath + "\" with passwords 180 days old or older.\n\n";
  // Names that cannot share a search, and rows the server may have matched
  // by its own rules, are searched on their own; so is ann after its write.
  const std::string odd = "ann " + kJose + " JOS\xC3\x89 a*b ann x)(y ANN\n";
  const std::string alone = "ann@corp.example\n" + kJose + "@corp.example\n" + kJose + "@corp.example\na*b@corp.example\n"
                            "ann@corp.example\nCould not execute query. An invalid filter was specified.\nann@corp.example\n"
                            "Errors: 1 \n";
  std::string written;
  for (const std::string& name : std::vector<std::string>{"ann", kJose, kJose, "a*b", "ann", "ann"}) written += name + changed;
  CheckRuns({
      {quiet, List("ann bob\tann\r\nnobody\va)(\fbob\n\n  "), "ann@corp.example\nbob@corp.example\nann@corp.example\n"
       "User object nobody could not be found.\n\nCould not execute query. An invalid filter was specified.\n"
       "bob@corp.example\nErrors: 2 \n", 2},
      {{"-l", kPath, "-t"}, List(""), toggling + "List \"" + kPath + "\" is empty\nErrors: 1 \n", 1},
      // The longest name is one search; a longer one is skipped whole.
      {quiet, List(longest + "\n" + std::string(kMaxListWordBytes + 1, 'b') + " ann"), "User object " + longest +
       " could not be found.\n\nA name longer than 1024 bytes in list " + kPath + " was skipped.\nann@corp.example\n"
       "Errors: 2 \n", 2},
      // The same name as UTF-8 and as Latin-1, then Latin-1 bytes of no name.
      {quiet, List(kJose + "\njos\xE9\n\x80\xFF"), kJose + "@corp.example\n" + kJose + "@corp.example\n"
       "User object \xC2\x80\xC3\xBF could not be found.\n\nErrors: 1 \n", 1},
      {toggle, List(odd), alone, 1, written},
      {toggle, [&](RunHarness& h) { List(odd)(h), h.server.Fail("(|(userPrincipalName=", FakeServer::Fault::Result, 51, 0); },
       alone, 1, written},
      // A second report of an account written by this run shows the write.
      {{"-l", kPath, "-t"}, List("ann ann"), toggling + "ann@corp.example -- ann\n  Last change: 3/14/2003 9:26:53 AM  (190.1 "
       "days)\n\nann@corp.example -- ann\n  Last change: 1/1/1601 12:00:00 AM  (147089.5 days)\n\n", 0, "ann" + changed + "ann" + changed},
  }, Accounts);
  std::remove(kPath.c_str());
}

// A list of 1,000 names is asked 100 at a time, four searches in flight.
// ann, listed again four batches on, is read ahead only once its write is
// answered, and shows it. 998 errors: the count is shown whole, the status is
// 254 (255 is "cannot open"; the Windows build exits with the count itself).
TEST(ListFile, ReadAheadOfAThousandNames) {
  const std::string ann = "ann@corp.example -- ann\n  Last change: ";
  std::string names = "ann ", expected = ann + "3/14/2003 9:26:53 AM  (190.1 days)\n\n";
  for (int i = 1; i < 1000; ++i) {
    names += i == 450 ? "ann " : "n" + std::to_string(i) + " ";
    expected += i == 450 ? ann + "1/1/1601 12:00:00 AM  (147089.5 days)\n\n"
                         : "User object n" + std::to_string(i) + " could not be found.\n\n";
  }
  RunHarness h;
  Accounts(h);
  List(names)(h);
  h.server.arrived = [](const std::string& request) { return !request.starts_with("modify"); };
  EXPECT_EQ(h.Run({"-l", kPath, "-t"}), 254);
  EXPECT_EQ(h.out.str().substr(h.out.str().find("\n\n") + 2), expected + "Errors: 998 \n");
  EXPECT_EQ(h.server.requests.size(), 14u) << "the root DSE, the container, ten batches, two writes";
  EXPECT_EQ(h.server.maxInFlight, 5) << "four batches and a write";
  EXPECT_EQ(h.Run({"-l", kPath, "-q"}, RunTool), 998) << "the whole count, as the Windows build exits";
  std::remove(kPath.c_str());
}

}  // namespace
}  // namespace agewarden::testing
