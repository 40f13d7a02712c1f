// The Windows build's front end over its seams: the list file opened by its
// UTF-16 name and the uncapped exit status.
#include <cstdio>
#include <fstream>

#include "common/utf16.h"
#include "run_harness.h"
#include "sources/list_file.h"

namespace agewarden::testing {
namespace {

TEST(ListFileOpen, Utf16NamesFilesOnly) {
  // A name with a euro sign and U+1F600, a surrogate pair in UTF-16.
  const std::string path = ::testing::TempDir() + "agewarden-list-jos\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80.txt";
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
  RunHarness h;
  EXPECT_EQ(h.Run({"-h"}, RunTool), -1);
  const std::string path = ::testing::TempDir() + "agewarden-many.txt";
  std::string names;
  for (int i = 0; i < 300; ++i) names += "nobody" + std::to_string(i) + "\n";
  std::ofstream(path.c_str(), std::ios::binary) << names;
  EXPECT_EQ(h.Run({"-q", "-l", path}, RunTool), 300);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace agewarden::testing
