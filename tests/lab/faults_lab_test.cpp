// The real binary against a lab DC that fails: frozen in the middle of a
// large report or of a forced change. Each checks the output, the exit status and the directory
// afterwards, and leaves the DC running and answering (and freshly seeded
// when the test wrote to it).
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "fault_support.h"
#include "lab_support.h"

namespace agewarden::lab {
namespace {

const std::string kBindFailure = "Could not bind to LDAP://rootDSE.\nErrors: 1 \n";
const std::string kServerDown = "Query failed to run. HRESULT: 8007203a\n";
const std::string kTimedOut = "Query failed to run. HRESULT: 800705b4\n";
constexpr int kManyAccounts = 10000;
// LDAPTIMEOUT / LDAPNETWORK_TIMEOUT for the runs against a frozen DC.
constexpr int kTimeout = 3;
const std::map<std::string, std::optional<std::string>> kShortTimeouts = {
    {"LDAPTIMEOUT", std::to_string(kTimeout)}, {"LDAPNETWORK_TIMEOUT", std::to_string(kTimeout)}};

std::string Base() {
  const char* base = getenv("LAB_BASE");
  return base != nullptr ? base : "DC=agewarden,DC=lab";
}

std::string ManyOu() { return "OU=Many," + Base(); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// pwdLastSet and userAccountControl of every account below `base`, by
// sAMAccountName, read with ldapsearch as Administrator.
struct Account {
  std::string pwdLastSet;
  std::string control;
  std::string usnChanged;
  bool operator==(const Account&) const = default;
};

std::map<std::string, Account> Accounts(const std::string& base) {
  const Result r = Shell("ldapsearch -LLL -Q -o ldif-wrap=no -b '" + base +
                         "' '(&(objectClass=user)(objectCategory=person))' sAMAccountName pwdLastSet "
                         "userAccountControl uSNChanged");
  std::map<std::string, Account> accounts;
  std::string sam;
  Account account;
  const auto flush = [&] {
    if (!sam.empty()) accounts[sam] = account;
    sam.clear();
    account = Account{};
  };
  for (const std::string& line : Lines(r.out)) {
    if (line.empty()) {
      flush();
    } else if (line.rfind("sAMAccountName: ", 0) == 0) {
      sam = line.substr(16);
    } else if (line.rfind("pwdLastSet: ", 0) == 0) {
      account.pwdLastSet = line.substr(12);
    } else if (line.rfind("userAccountControl: ", 0) == 0) {
      account.control = line.substr(20);
    } else if (line.rfind("uSNChanged: ", 0) == 0) {
      account.usnChanged = line.substr(12);
    }
  }
  flush();
  return accounts;
}

// Sends `signal` to the lab's samba (its whole process group, as labdc stop
// does); for SIGKILL, waits until it is gone.
void SignalDc(int signal) {
  const pid_t pid = SambaPid();
  ASSERT_GT(pid, 0) << "the lab's samba is not running";
  ASSERT_EQ(kill(-pid, signal), 0);
  if (signal != SIGKILL) return;
  for (int i = 0; i < 100 && kill(pid, 0) == 0; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z') break;
    usleep(50000);
  }
}

// Lets a frozen DC go on however the test ends.
struct ThawDcAtExit {
  ~ThawDcAtExit() {
    if (const pid_t pid = SambaPid(); pid > 0) kill(-pid, SIGCONT);
  }
};

// The rows of an OU report: the banner, then blocks of three lines per
// account, then what ended it. Returns the UPNs of the rows and puts the
// lines after the last row into `ending`.
std::vector<std::string> ReportRows(const std::string& out, const std::string& banner, std::string& ending) {
  std::vector<std::string> upns;
  ending.clear();
  if (out.rfind(banner, 0) != 0) {
    ADD_FAILURE() << "no banner: " << out.substr(0, 200);
    return upns;
  }
  const std::vector<std::string> lines = Lines(out.substr(banner.size()));
  static const std::regex first("(many[0-9]{5}@agewarden\\.lab) -- Many [0-9]{5} \\.+");
  static const std::regex second("  Last change: [0-9/]+ [0-9:]+ [AP]M  \\(200\\.[0-9] days\\)");
  size_t i = 0;
  std::smatch m;
  for (; i + 2 < lines.size() && std::regex_match(lines[i], m, first); i += 3) {
    EXPECT_TRUE(std::regex_match(lines[i + 1], second)) << lines[i + 1];
    EXPECT_EQ(lines[i + 2], "") << "after " << lines[i];
    upns.push_back(m[1]);
  }
  for (; i < lines.size(); ++i) ending += lines[i] + "\n";
  return upns;
}

class FaultsLab : public ::testing::Test {
 protected:
  void SetUp() override {
    if (getenv("LAB_DIR") == nullptr) GTEST_SKIP() << "lab DC not running";
    ASSERT_EQ(Shell(LabdcCommand("start")).status, 0);
  }

  void TearDown() override {
    if (getenv("LAB_DIR") == nullptr) return;
    if (const pid_t pid = SambaPid(); pid > 0) kill(-pid, SIGCONT);
    if (wrote_) {
      ResetLab();
    } else {
      const Result started = Shell(LabdcCommand("start"));
      EXPECT_EQ(started.status, 0) << started.out << started.err;
    }
    EXPECT_TRUE(LabHealthy()) << "the DC is left running and answering";
  }

  // OU=Many with 10,000 accounts (scripts/labdc many); the lab is reset at
  // the end of the test.
  void AddManyAccounts() {
    wrote_ = true;
    const double start = Now();
    const Result r = Shell(LabdcCommand("many " + std::to_string(kManyAccounts)));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::cout << "[          ] OU=Many added in " << Now() - start << " s\n";
  }

  void RestartDc() {
    const Result r = Shell(LabdcCommand("start"));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_TRUE(LabHealthy());
  }

  bool wrote_ = false;
};

// What a forced change that was cut short left: every account fully changed
// or untouched, the changed ones among those the run reached, and an error
// counted for each account it reported as failed and for the cut itself.
void ExpectWholeChanges(const Outcome& r, const std::map<std::string, Account>& before,
                        const std::map<std::string, Account>& after, const std::string& cut) {
  std::set<std::string> reached;
  std::set<std::string> failed;
  int counted = -1;
  bool sawCut = false;
  static const std::regex upn("(many[0-9]{5})@agewarden\\.lab");
  static const std::regex failure(
      "(?:Update for user |User |Put pwdLastSet for user |Get userAccountControl for user |Put "
      "userAccountControl for user )(many[0-9]{5})@agewarden\\.lab(?: - ADsGetObject)? failed");
  static const std::regex errors("Errors: ([0-9]+) ");
  std::smatch m;
  for (const std::string& line : Lines(r.out)) {
    if (std::regex_match(line, m, upn)) {
      reached.insert(m[1]);
    } else if (std::regex_match(line, m, failure)) {
      failed.insert(m[1]);
    } else if (std::regex_match(line, m, errors)) {
      counted = std::stoi(m[1]);
    } else if (line + "\n" == cut) {
      sawCut = true;
    } else {
      ADD_FAILURE() << "unexpected line: " << line;
    }
  }
  EXPECT_TRUE(sawCut) << "the run says that its search was cut";
  EXPECT_EQ(counted, static_cast<int>(failed.size()) + 1) << "one error per failed account, one for the cut";
  EXPECT_EQ(r.status, std::min(counted, 254));
  EXPECT_EQ(r.err, "");

  ASSERT_EQ(after.size(), before.size());
  size_t changed = 0;
  for (const auto& [sam, was] : before) {
    SCOPED_TRACE(sam);
    const Account& now = after.at(sam);
    const bool isChanged = now.pwdLastSet == "0" && now.control == "512";
    const bool isUntouched = now.pwdLastSet == was.pwdLastSet && now.control == was.control;
    EXPECT_TRUE(isChanged || isUntouched) << "half changed: pwdLastSet " << now.pwdLastSet
                                          << ", userAccountControl " << now.control;
    if (isChanged) ++changed;
    if (!reached.count(sam)) {
      EXPECT_TRUE(isUntouched) << "changed, but the run never reached it";
    } else if (!failed.count(sam)) {
      EXPECT_TRUE(isChanged) << "reached and not reported as failed, but not changed";
    }
  }
  EXPECT_GT(changed, 0u);
  EXPECT_LT(changed, before.size()) << "the DC failed before the run was through";
  std::cout << "[          ] reached " << reached.size() << ", changed " << changed << ", reported failed "
            << failed.size() << "\n";
}

TEST_F(FaultsLab, DcThatStopsAnsweringInTheMiddleOfALargeReport) {
  AddManyAccounts();
  ThawDcAtExit thaw;
  {
    // As with the killed DC, but the DC freezes: its connection stays open
    // and silent, part of an entry (and of a SASL packet) already sent.
    Child child({.args = {"-o", "Many"}, .environment = kShortTimeouts, .outputPipeSize = 4096});
    ASSERT_TRUE(child.WaitUntilHeldAtOutput(60));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    SignalDc(SIGSTOP);
    const double frozen = Now();
    const Outcome r = child.Finish(kTimeout + 30);
    EXPECT_FALSE(r.overran) << "the run waited for the DC for ever";
    EXPECT_LT(Now() - frozen, kTimeout + 15.0);
    std::string ending;
    const std::vector<std::string> rows =
        ReportRows(r.out, "Displaying user objects in OU \"Many\" with passwords 180 days old or older.\n\n", ending);
    EXPECT_GT(rows.size(), 0u);
    EXPECT_LT(rows.size(), static_cast<size_t>(kManyAccounts));
    EXPECT_EQ(ending, kTimedOut + "Errors: 1 \n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
    SignalDc(SIGCONT);
  }
  {
    // A forced change whose DC freezes between two modifies, or in one.
    const auto before = Accounts(ManyOu());
    Child child({.args = {"-t", "-q", "-o", "Many"}, .environment = kShortTimeouts});
    ASSERT_TRUE(child.ReadUntil("@agewarden.lab\n", 60));
    SignalDc(SIGSTOP);
    const double frozen = Now();
    const Outcome r = child.Finish(kTimeout + 30);
    EXPECT_FALSE(r.overran);
    EXPECT_LT(Now() - frozen, kTimeout + 15.0);
    SignalDc(SIGCONT);
    ASSERT_TRUE(LabHealthy());
    // The cut is a time-out, or, when the DC froze inside a modify, the
    // connection that the time-out gave up on.
    const bool inModify = r.out.find(kServerDown) != std::string::npos;
    ExpectWholeChanges(r, before, Accounts(ManyOu()), inModify ? kServerDown : kTimedOut);
  }
}

}  // namespace
}  // namespace agewarden::lab
