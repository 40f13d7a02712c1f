#include "cli/ou_path.h"

#include <gtest/gtest.h>

namespace agewarden {
namespace {

TEST(OuPath, ChainIsTheNonEmptyComponentsLastFirstAsTyped) {
  std::string long130;  // 130 one-character components: 259 characters of path
  std::string chain130;
  for (int i = 0; i < 130; ++i) {
    const std::string c(1, char('a' + i % 26));
    long130 += (i ? "/" : "") + c;
    chain130 = "OU=\"" + c + "\"" + (i ? "," : "") + chain130;
  }
  const std::pair<std::string, std::string> cases[] = {
      {"YourOU", "OU=\"YourOU\""},
      {"Your OU/Your Staff/Admins", "OU=\"Admins\",OU=\"Your Staff\",OU=\"Your OU\""},
      {"A/", "OU=\"A\""}, {"//A", "OU=\"A\""}, {"/A//B/", "OU=\"B\",OU=\"A\""},
      {"A / B", "OU=\" B\",OU=\"A \""}, {"a\"b,c=\\d", "OU=\"a\"b,c=\\d\""},
      {"", ""}, {"///", ""}, {long130, chain130},
      {std::string(259, 'x'), "OU=\"" + std::string(259, 'x') + "\""},
  };
  for (const auto& [path, chain] : cases) EXPECT_EQ(OuRdnChainOf(path), chain) << path;
}

}  // namespace
}  // namespace agewarden
