#include "cli/ou_path.h"

#include "run_fixture.h"

namespace agewarden::testing {
namespace {

TEST(OuPath, WorkedExamples) {
  const std::pair<std::string, std::string> cases[] = {
      {"YourOU", "OU=\"YourOU\""},
      {"Your OU", "OU=\"Your OU\""},
      {"YourOU/YourStaff/Admins", "OU=\"Admins\",OU=\"YourStaff\",OU=\"YourOU\""},
      {"Your OU/Your Staff/Admins", "OU=\"Admins\",OU=\"Your Staff\",OU=\"Your OU\""},
      {"A/B/C", "OU=\"C\",OU=\"B\",OU=\"A\""},
      {"A", "OU=\"A\""},
      {"A/", "OU=\"A\""},
      {"A//", "OU=\"A\""},
      {"/A", "OU=\"A\""},
      {"//A", "OU=\"A\""},
      {"A//B", "OU=\"B\",OU=\"A\""},
      {"/A//B/", "OU=\"B\",OU=\"A\""},
      {"A / B", "OU=\" B\",OU=\"A \""},
      {"a\"b,c=\\d", "OU=\"a\"b,c=\\d\""},
      {"", ""},
      {"/", ""},
      {"///", ""},
  };
  for (const auto& [path, chain] : cases) EXPECT_EQ(OuRdnChainOf(path), chain) << path;
}

TEST(OuPath, LongChainsGrowInsteadOfBeingCut) {
  // 130 one-character components: 259 characters of path, 909 of chain.
  std::string path;
  for (int i = 0; i < 130; ++i) path += (i ? "/" : "") + std::string(1, char('a' + i % 26));
  const std::string chain = OuRdnChainOf(path);
  EXPECT_EQ(chain.size(), 130u * 6 + 129);
  EXPECT_EQ(chain.substr(0, 10), "OU=\"z\",OU=");
  EXPECT_EQ(chain.substr(chain.size() - 6), "OU=\"a\"");
  EXPECT_EQ(OuRdnChainOf(std::string(254, 'x')).size(), 259u);
  EXPECT_EQ(OuRdnChainOf(std::string(259, 'x')).size(), 264u);
}

TEST(OuPath, DebugLines) {
  std::ostringstream out;
  RunState state;
  state.out = &out;
  state.options.debug = true;
  state.options.ouPath = "A/B";
  TranslateOuPath(state);
  EXPECT_EQ(out.str(), "OU Before: A/B\nOU After: OU=\"B\",OU=\"A\"\n");
  out.str("");
  state.options.ouPath = "/";
  TranslateOuPath(state);
  EXPECT_EQ(out.str(), "OU Before: /\nOU After: \n");
}

}  // namespace
}  // namespace agewarden::testing
