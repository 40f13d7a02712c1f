// The Windows build's front end over its seams: the list file opened by its
// UTF-16 name and the uncapped exit status.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "common/utf16.h"
#include "run_harness.h"
#include "sources/list_file.h"

namespace agewarden::testing {
namespace {

const std::string kEuro = "\xE2\x82\xAC";
const std::string kGrin = "\xF0\x9F\x98\x80";  // U+1F600, a surrogate pair in UTF-16

TEST(ListFileOpen, Utf16NamesFilesOnly) {
  const std::string path = ::testing::TempDir() + "agewarden-list-jos\xC3\xA9" + kEuro + kGrin + ".txt";
  std::FILE* file = _wfopen(Utf8ToWide(path).c_str(), L"wb");
  ASSERT_NE(file, nullptr);
  std::fputs("ann\r\nbob\x1A" "carl\n", file);
  std::fclose(file);
  {
    const ListFile list = OpenListFile(path);
    ASSERT_TRUE(list);
    std::vector<std::string> words;
    ReadListWords(list.get(), [&](const std::string& w) { words.push_back(w); }, [] {});
    EXPECT_EQ(words, (std::vector<std::string>{"ann", "bob\x1A" "carl"}));  // the bytes as they are
  }
  _wremove(Utf8ToWide(path).c_str());
  EXPECT_FALSE(OpenListFile(path));
  EXPECT_FALSE(OpenListFile(::testing::TempDir()));
  EXPECT_FALSE(OpenListFile(std::string("a\0b", 3)));
}

TEST(RunTool, StatusIsMinusOneOrTheWholeCount) {
  FakeServer server;
  AddDomain(server);
  const auto directory = CreateLdapDirectory({}, server.Factory());
  std::ostringstream out;
  const auto environment = [](const std::string& name, std::string& value) {
    value = name == "USERDOMAIN" ? "CORP" : "boss";
    return true;
  };
  const RunSeams seams{&out, directory.get(), [] { return kNow; }, FixedZone(0), environment};
  EXPECT_EQ(RunTool({"agewarden", "-h"}, seams), -1);
  const std::string path = ::testing::TempDir() + "agewarden-many.txt";
  std::ofstream list(path.c_str(), std::ios::binary);
  for (int i = 0; i < 300; ++i) list << "nobody" << i << "\n";
  list.close();
  EXPECT_EQ(RunTool({"agewarden", "-q", "-l", path}, seams), 300);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace agewarden::testing
