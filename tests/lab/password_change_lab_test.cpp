// -t against the lab DC, read back with ldapsearch. These tests write, so
// each starts from and leaves a freshly seeded lab.
#include <regex>
#include <set>

#include "lab_support.h"

namespace agewarden::lab {
namespace {

const std::string kStaff = "OU=Staff,DC=agewarden,DC=lab";

// Every Staff account as sAMAccountName -> its attributes in LDIF, without
// the ones a password change may touch.
std::map<std::string, std::string> StaffSnapshot(bool withChanged = false) {
  const Result r = Shell("ldapsearch -LLL -Q -o ldif-wrap=no -b '" + kStaff +
                         "' '(objectClass=user)' '*' | grep -v -E '^(whenChanged|uSNChanged|dSCorePropagationData)'");
  std::map<std::string, std::string> accounts;
  std::string entry;
  const auto flush = [&] {
    std::smatch m;
    if (std::regex_search(entry, m, std::regex("\nsAMAccountName: ([^\n]+)"))) {
      std::string kept;
      std::istringstream lines(entry);
      for (std::string line; std::getline(lines, line);) {
        if (!withChanged && (line.rfind("pwdLastSet:", 0) == 0 || line.rfind("userAccountControl:", 0) == 0)) continue;
        kept += line + "\n";
      }
      accounts[m[1]] = kept;
    }
    entry.clear();
  };
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) {
      flush();
    } else {
      entry += "\n" + line;
    }
  }
  flush();
  return accounts;
}

std::string Value(const std::string& entry, const std::string& attribute) {
  std::smatch m;
  if (std::regex_search(entry, m, std::regex("(^|\n)" + attribute + ": ([^\n]+)"))) return m[2];
  return {};
}

const std::set<std::string> kAged = {"jose200",   "nevexp200", "slashuser", "staff095a", "staff095b",
                                     "staff200a", "staff200b", "staff400a", "staff400b"};

std::set<std::string> Zeroed() {
  std::set<std::string> zeroed;
  for (const auto& [sam, entry] : StaffSnapshot(true)) {
    if (Value(entry, "pwdLastSet") == "0") zeroed.insert(sam);
  }
  return zeroed;
}

class PasswordChangeLab : public ::testing::Test {
 protected:
  void SetUp() override {
    if (getenv("LAB_DIR") == nullptr) GTEST_SKIP() << "lab DC not running";
    ResetLab();
  }
  void TearDown() override {
    if (getenv("LAB_DIR") != nullptr) ResetLab();
  }
};

TEST_F(PasswordChangeLab, ChangesExactlyTheReportedAccounts) {
  const auto before = StaffSnapshot();
  const auto beforeFull = StaffSnapshot(true);
  const Result r = Agewarden({"-t", "-o", "Staff", "-d", "90", "-q"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.err, "");
  std::set<std::string> reported;
  for (const std::string& line : SortedLines(r.out)) reported.insert(line.substr(0, line.find('@')));
  EXPECT_EQ(reported, (std::set<std::string>{"jos\xC3\xA9", "nevexp200", "slashuser", "staff095a", "staff095b",
                                             "staff200a", "staff200b", "staff400a", "staff400b"}));
  EXPECT_EQ(Zeroed(), kAged) << "pwdLastSet 0 on exactly the reported accounts, the one with \"/\" included";

  const auto after = StaffSnapshot(true);
  EXPECT_EQ(Value(after.at("nevexp200"), "userAccountControl"), "512");
  EXPECT_EQ(Value(after.at("staff200a"), "userAccountControl"), "512");
  for (const std::string young : {"staff010a", "staff010b", "noupn400"}) {
    EXPECT_EQ(after.at(young), beforeFull.at(young)) << young << " untouched";
  }
  EXPECT_EQ(StaffSnapshot(), before) << "no other attribute changed";

  // A second run shows the zero as the directory's epoch and reports again.
  const Result again = Agewarden({"-u", "staff200a"});
  EXPECT_EQ(again.status, 0);
  EXPECT_TRUE(std::regex_search(again.out, std::regex("  Last change: 1/1/1601 12:00:00 AM  \\(15[0-9]{4}\\.[0-9] days\\)\n")))
      << again.out;
}

TEST_F(PasswordChangeLab, DebugDoesNotWidenTheWrite) {
  const Result r = Agewarden({"-x", "-t", "-o", "Staff", "-d", "90"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("  DN: CN=Slash/User,OU=Staff,DC=agewarden,DC=lab\n"), std::string::npos);
  EXPECT_NE(r.out.find("staff010a@agewarden.lab -- Staff 010 A\n"), std::string::npos) << "shown";
  EXPECT_NE(r.out.find("Update for user slashuser@agewarden.lab succeeded\n"), std::string::npos);
  EXPECT_EQ(Zeroed(), kAged) << "the same accounts as without -x";
}

TEST_F(PasswordChangeLab, PlainUserIsRefusedEveryWrite) {
  const auto before = StaffSnapshot(true);
  const Result r = Agewarden({"-t", "-o", "Staff", "-d", "90", "-q"}, LabEnvironment("plain"));
  EXPECT_EQ(r.status, 9) << r.out;
  EXPECT_EQ(r.err, "");
  for (const std::string upn : {"staff200a@agewarden.lab", "nevexp200@agewarden.lab", "slashuser@agewarden.lab"}) {
    EXPECT_NE(r.out.find(upn + "\nUpdate for user " + upn + " failed\n"), std::string::npos) << r.out;
  }
  EXPECT_NE(r.out.find("Errors: 9 \n"), std::string::npos);
  EXPECT_EQ(StaffSnapshot(true), before) << "the directory is unchanged";
}

}  // namespace
}  // namespace agewarden::lab
