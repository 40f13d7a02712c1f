// The Windows build's exit status: -1 or the whole error count. (The list
// file opened by its UTF-16 name is shown by the Windows stage's -l runs.)
#include <cstdio>
#include <fstream>

#include "run_harness.h"

namespace agewarden::testing {
namespace {

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
