// Lists and groups read ahead (many names per search, several searches in
// flight) give exactly what one search per name gives: the same output, exit
// status and changes to the directory.
#include <regex>
#include <sstream>

#include "cli/run.h"
#include "directory/backend/ldap_directory.h"
#include "lab_support.h"

namespace agewarden::lab {
namespace {

// The whole tool in process against the lab, its output and then its exit
// status; `searches` gets the search requests it sent. Every run ages its
// rows against the same instant.
std::string InProcess(const std::vector<std::string>& args, bool readAhead, bool cutUnpaged = false,
                      int* searches = nullptr) {
  static const int64_t now = SystemTimeAsFileTime();
  auto directory = CreateLdapDirectory({.cutUnpaged = cutUnpaged, .readAhead = readAhead});
  std::ostringstream out;
  RunSeams seams{&out, directory.get(), [] { return now; }, LocalZoneOffset,
                 [](const std::string& name, std::string& value) {
                   const char* found = std::getenv(name.c_str());
                   if (found != nullptr) value = found;
                   return found != nullptr;
                 }};
  std::vector<std::string> argv = {"agewarden"};
  argv.insert(argv.end(), args.begin(), args.end());
  const int status = RunCommandLine(argv, seams);
  if (searches != nullptr) *searches = directory->Statistics().searches;
  return out.str() + "status " + std::to_string(status) + "\n";
}

TEST(ReadAheadLab, SameAsOneSearchPerName) {
  REQUIRE_LAB();
  // Found, not found, a wildcard, repeats, letter-case variants, filter
  // metacharacters, UTF-8 and Latin-1, over more names than one batch holds.
  std::string names = "staff400a nosuchuser staff4* staff400a STAFF400A Staff200A ( a)(b \\ staff200\\61 jos\xC3\xA9 JOS\xC3\x89 jos\xE9\n";
  const std::vector<std::string> cycle = {"staff200a", "admin400", "Admin200", "nobody", "staff095b"};
  for (int i = 0; i < 450; ++i) names += cycle[i % 5] + (i % 5 == 3 ? std::to_string(i) : "") + "\n";
  const std::string list = TempPath("ahead.txt", names);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-l", list, "-d", "1"}, {"-l", list, "-x"}, {"-g", "Lab Group A", "-d", "1"}, {"-g", "Lab Group A", "-x"},
           {"-g", "Domain Users", "-d", "1"}, {"-g", "Nest Of Empties"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const std::string alone = InProcess(args, false);
    EXPECT_EQ(InProcess(args, true), alone);
    EXPECT_EQ(InProcess(args, true, true), alone) << "batches cut short by the server go on paged";
  }
  // And it happened: 1,000 plain names take 10 searches of 100 names, besides
  // the root DSE and the container.
  std::string plain;
  for (int i = 0; i < 1000; ++i) plain += (i % 10 ? "nobody" + std::to_string(i) : "staff200a") + "\n";
  const std::string thousand = TempPath("thousand.txt", plain);
  int searches = 0;
  EXPECT_EQ(InProcess({"-l", thousand, "-q"}, true, false, &searches), InProcess({"-l", thousand, "-q"}, false));
  EXPECT_LE(searches, 15);
  std::remove(list.c_str());
  std::remove(thousand.c_str());
}

// What a -t run shows and leaves in OU=Staff, but for the seeding times that
// a reset changes: every date but 1/1/1601, every pwdLastSet but 0.
std::string Written(const std::string& run) {
  std::string text = std::regex_replace(run, std::regex("Last change: (?!1/1/1601).*"), "Last change: seeded");
  for (const auto& [sam, values] : ReadAccounts("OU=Staff," + Base(), "pwdLastSet userAccountControl")) {
    text += sam + (values.at("pwdLastSet") == "0" ? " 0 " : " seeded ") + values.at("userAccountControl") + "\n";
  }
  return text;
}

// -t: an account that comes up again after this run changed it shows what
// the directory holds now, as a search of its own would. Writes: the lab is
// reset between the two runs and after them.
TEST(ReadAheadLab, ForcedChangeOfAnAccountListedTwice) {
  REQUIRE_LAB();
  const std::string list = TempPath("twice.txt", "staff400a staff400b staff400a STAFF400B nevexp200 nosuchuser nevexp200\n");
  const std::vector<std::string> args = {"-t", "-l", list, "-d", "90"};
  const std::string alone = Written(InProcess(args, false));
  ResetLab();
  const std::string ahead = Written(InProcess(args, true));
  ResetLab();
  EXPECT_EQ(ahead, alone);
  EXPECT_NE(ahead.find("staff400a@agewarden.lab -- Staff 400 A\n  Last change: 1/1/1601"), std::string::npos);
  std::remove(list.c_str());
}

}  // namespace
}  // namespace agewarden::lab
