// The real binary against a lab DC that fails: stopped before the run, killed
// or frozen in the middle of a large report or of a forced change, tickets
// that are missing, expired or of another realm, and a user without write
// rights. Each checks the output, the exit status and the directory
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

TEST_F(FaultsLab, DcStoppedBeforeTheRun) {
  const std::string list = TempPath("list.txt");
  std::ofstream(list) << "staff200a\nstaff400a\n";
  ASSERT_EQ(Shell(LabdcCommand("stop")).status, 0);
  const std::vector<std::vector<std::string>> runs = {
      {"-u", "staff200a"},
      {"-o", "Staff", "-q"},
      {"-l", list},
      {"-g", "Lab Group A", "-d", "1"},
      {"-t", "-o", "Staff", "-d", "1"},
  };
  for (const auto& args : runs) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const Outcome r = RunTool({args}, 30);
    EXPECT_EQ(r.out, kBindFailure);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_LT(r.seconds, 10.0) << "a refused connection fails at once";
  }
  std::remove(list.c_str());
  RestartDc();
  const Outcome again = RunTool({{"-u", "staff200a", "-q"}});
  EXPECT_EQ(again.out, "staff200a@agewarden.lab\n") << "the same run works once the DC is back";
  EXPECT_EQ(again.status, 0);
}

TEST_F(FaultsLab, DcKilledInTheMiddleOfALargeReport) {
  AddManyAccounts();
  // Nobody reads the run's output: it fills a one-page pipe and is held at a
  // write, with the DC part-way through sending 10,000 entries (about 7 MB,
  // more than the sockets buffer); then the DC dies.
  Child child({.args = {"-o", "Many"}, .outputPipeSize = 4096});
  ASSERT_TRUE(child.WaitUntilHeldAtOutput(60));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  SignalDc(SIGKILL);
  const double killed = Now();
  const Outcome r = child.Finish(60);
  EXPECT_LT(Now() - killed, 15.0) << "a closed connection ends the run at once";
  EXPECT_FALSE(r.overran);
  std::string ending;
  const std::vector<std::string> rows =
      ReportRows(r.out, "Displaying user objects in OU \"Many\" with passwords 180 days old or older.\n\n", ending);
  EXPECT_GT(rows.size(), 0u);
  EXPECT_LT(rows.size(), static_cast<size_t>(kManyAccounts))
      << "the whole result was in the sockets' buffers when the DC died (net.ipv4.tcp_wmem above 4 MB?)";
  EXPECT_EQ(std::set<std::string>(rows.begin(), rows.end()).size(), rows.size()) << "no row twice";
  EXPECT_EQ(ending, kServerDown + "Errors: 1 \n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);

  // The directory is whole after the restart, and the same report runs
  // through.
  RestartDc();
  EXPECT_EQ(Accounts(ManyOu()).size(), static_cast<size_t>(kManyAccounts));
  const Outcome again = RunTool({{"-o", "Many", "-q"}});
  EXPECT_EQ(Lines(again.out).size(), static_cast<size_t>(kManyAccounts));
  EXPECT_EQ(again.status, 0);
}

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

TEST_F(FaultsLab, DcKilledInTheMiddleOfAForcedChange) {
  AddManyAccounts();
  const auto before = Accounts(ManyOu());
  ASSERT_EQ(before.size(), static_cast<size_t>(kManyAccounts));
  for (const auto& [sam, account] : before) {
    ASSERT_NE(account.pwdLastSet, "0") << sam;
    ASSERT_EQ(account.control, "66048") << sam << ": 0x10000 (password never expires) set";
  }
  // One modify per account, about 10 ms each: the DC is killed once the
  // first block of output (a few hundred accounts) is in.
  Child child({.args = {"-t", "-q", "-o", "Many"}});
  ASSERT_TRUE(child.ReadUntil("@agewarden.lab\n", 60));
  SignalDc(SIGKILL);
  const double killed = Now();
  const Outcome r = child.Finish(60);
  EXPECT_LT(Now() - killed, 15.0);
  EXPECT_FALSE(r.overran);
  RestartDc();
  ExpectWholeChanges(r, before, Accounts(ManyOu()), kServerDown);
}

TEST_F(FaultsLab, DcThatStopsAnsweringBeforeTheRun) {
  // A run first, so that the ticket cache holds the LDAP service ticket: the
  // frozen DC is then met only over LDAP. (Without it, libkrb5 asks the
  // frozen KDC and waits out its own retries, about 30 s, whatever the LDAP
  // time-outs say.)
  ASSERT_EQ(RunTool({{"-u", "staff200a", "-q"}}).status, 0);
  ThawDcAtExit thaw;
  SignalDc(SIGSTOP);
  for (const auto& args : std::vector<std::vector<std::string>>{{"-u", "staff200a"}, {"-t", "-o", "Staff"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const Outcome r = RunTool({.args = args, .environment = kShortTimeouts}, kTimeout + 30);
    EXPECT_EQ(r.out, kBindFailure);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.overran);
    EXPECT_GE(r.seconds, kTimeout - 1.0) << "the run waited for the DC";
    EXPECT_LT(r.seconds, kTimeout + 15.0);
  }
  SignalDc(SIGCONT);
  const Outcome again = RunTool({{"-u", "staff200a", "-q"}});
  EXPECT_EQ(again.out, "staff200a@agewarden.lab\n");
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

class TicketFaults : public FaultsLab {
 protected:
  void SetUp() override {
    FaultsLab::SetUp();
    if (IsSkipped()) return;
    const auto admin = LabEnvironment("admin");
    realm_ = admin.at("LAB_REALM");
    // A cache holding only a ticket-granting ticket, from a fresh kinit.
    const std::string tgt = TempPath("tgt.ccache");
    const Result kinit = Execute("/bin/sh", {"-c", "printf '%s\\n' \"$P\" | kinit Administrator@" + realm_},
                                 {{"P", admin.at("LAB_PASSWORD")}, {"KRB5CCNAME", "FILE:" + tgt}});
    ASSERT_EQ(kinit.status, 0) << kinit.out << kinit.err;
    files_.push_back(tgt);
    // The same cache, its realm renamed (same length) throughout: a ticket
    // of a realm that the lab's KDC does not know.
    std::ifstream in(tgt, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    other_ = realm_;
    for (char& c : other_) c = (c >= 'A' && c <= 'Y') ? static_cast<char>(c + 1) : c;
    for (size_t at = 0; (at = bytes.find(realm_, at)) != std::string::npos; at += realm_.size()) {
      bytes.replace(at, realm_.size(), other_);
    }
    WriteFile("other.ccache", bytes);
    // A krb5.conf that also names a KDC for that realm (the lab's): the
    // ticket is then shown to a KDC, which refuses it.
    std::ifstream conf(getenv("KRB5_CONFIG"));
    std::string text((std::istreambuf_iterator<char>(conf)), std::istreambuf_iterator<char>());
    const size_t realms = text.find("[realms]");
    ASSERT_NE(realms, std::string::npos);
    text.insert(realms + 8, "\n\t" + other_ + " = {\n\t\tkdc = " + std::string(getenv("LAB_IP")) + "\n\t}");
    WriteFile("other-kdc.conf", text);
    // And one where no cache is named and the default one does not exist.
    const size_t libdefaults = text.find("[libdefaults]");
    ASSERT_NE(libdefaults, std::string::npos);
    text.insert(libdefaults + 13, "\n\tdefault_ccache_name = FILE:" + TempPath("no-such.ccache"));
    WriteFile("no-default.conf", text);
    WriteFile("garbage.ccache", std::string("\x05\x04\x00\x0cnot a credential cache at all\xff\xfe", 35));
  }

  void TearDown() override {
    for (const std::string& file : files_) std::remove(file.c_str());
    FaultsLab::TearDown();
  }

  void WriteFile(const std::string& name, const std::string& bytes) {
    const std::string path = TempPath(name);
    std::ofstream(path, std::ios::binary) << bytes;
    files_.push_back(path);
  }

  std::string realm_;
  std::string other_;
  std::vector<std::string> files_;
};

TEST_F(TicketFaults, NoUsableTicketFailsTheBindWithoutAPrompt) {
  const std::string faketime = "/usr/bin/faketime";
  struct Case {
    std::string name;
    std::map<std::string, std::optional<std::string>> environment;
    bool clockAhead = false;
  };
  const std::vector<Case> cases = {
      {"no cache file", {{"KRB5CCNAME", "FILE:" + TempPath("missing.ccache")}}},
      {"an empty cache", {{"KRB5CCNAME", "MEMORY:agewarden-empty"}}},
      {"a file that is no cache", {{"KRB5CCNAME", "FILE:" + TempPath("garbage.ccache")}}},
      {"no cache named, no default cache", {{"KRB5CCNAME", std::nullopt}, {"KRB5_CONFIG", TempPath("no-default.conf")}}},
      {"expired tickets (the clock 3 days on)", {}, true},
      {"an expired ticket-granting ticket only", {{"KRB5CCNAME", "FILE:" + TempPath("tgt.ccache")}}, true},
      {"a ticket of another realm", {{"KRB5CCNAME", "FILE:" + TempPath("other.ccache")}}},
      {"a ticket of another realm, shown to a KDC",
       {{"KRB5CCNAME", "FILE:" + TempPath("other.ccache")}, {"KRB5_CONFIG", TempPath("other-kdc.conf")}}},
  };
  for (const Case& c : cases) {
    for (const Input input : {Input::Terminal, Input::ClosedPipe}) {
      SCOPED_TRACE(c.name + (input == Input::Terminal ? ", standard input a terminal" : ", standard input closed"));
      Launch launch{.args = {"-u", "staff200a"}, .environment = c.environment, .input = input};
      if (c.clockAhead) {
        launch.args.insert(launch.args.begin(), {"-f", "+3d", AGEWARDEN_BINARY});
        launch.program = faketime;
      }
      const Outcome r = RunTool(launch, 60);
      EXPECT_EQ(r.out, kBindFailure);
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.terminal, "") << "nothing is asked on the terminal";
      EXPECT_EQ(r.status, 1);
      EXPECT_FALSE(r.overran) << "the run waited for an answer";
      EXPECT_LT(r.seconds, 20.0);
    }
  }
  // The tickets themselves are good: the cache from the same kinit, and the
  // clock wrapper with no shift, work.
  const std::string copy = TempPath("tgt-copy.ccache");
  std::ifstream from(TempPath("tgt.ccache"), std::ios::binary);
  std::ofstream(copy, std::ios::binary) << from.rdbuf();
  files_.push_back(copy);
  const Outcome fresh = RunTool({.args = {"-u", "staff200a", "-q"}, .environment = {{"KRB5CCNAME", "FILE:" + copy}}});
  EXPECT_EQ(fresh.out, "staff200a@agewarden.lab\n");
  const Outcome unshifted = RunTool({.args = {"-f", "+0", AGEWARDEN_BINARY, "-u", "staff200a", "-q"}, .program = faketime});
  EXPECT_EQ(unshifted.out, "staff200a@agewarden.lab\n");
  EXPECT_EQ(unshifted.err, "");
}

TEST_F(FaultsLab, PlainUserReadsWhatItMayAndEveryWriteIsRefused) {
  std::map<std::string, std::optional<std::string>> plain;
  for (const auto& [name, value] : LabEnvironment("plain")) plain[name] = value;
  ASSERT_EQ(plain.at("USERNAME"), "plainuser");
  const std::string list = TempPath("plain-list.txt");
  std::ofstream(list) << "staff200a nosuchuser\nstaff400b\n";

  const std::vector<std::vector<std::string>> reads = {
      {"-u", "staff200a", "-q"},
      {"-o", "Your OU/Your Staff/Admins", "-q"},
      {"-l", list, "-q"},
      {"-g", "Lab Group A", "-q", "-d", "1"},
  };
  const auto before = Accounts(Base());
  for (const auto& args : reads) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const Outcome asAdmin = RunTool({args});
    const Outcome asPlain = RunTool({.args = args, .environment = plain});
    EXPECT_EQ(asPlain.out, asAdmin.out) << "a plain user reads the same";
    EXPECT_EQ(asPlain.status, asAdmin.status);
    EXPECT_EQ(asPlain.err, "");

    // The same with -t: every account it reaches is refused and counted.
    std::vector<std::string> toggled = args;
    toggled.insert(toggled.begin(), "-t");
    const Outcome write = RunTool({.args = toggled, .environment = plain});
    std::string expected;
    int errors = asAdmin.status;
    for (const std::string& line : Lines(asAdmin.out)) {
      if (line.rfind("Errors: ", 0) == 0) continue;
      expected += line + "\n";
      if (line.size() > 14 && line.substr(line.size() - 14) == "@agewarden.lab") {
        expected += "Update for user " + line + " failed\n";
        ++errors;
      }
    }
    EXPECT_GT(errors, asAdmin.status);
    EXPECT_EQ(write.out, expected + "Errors: " + std::to_string(errors) + " \n");
    EXPECT_EQ(write.status, errors);
    EXPECT_EQ(write.err, "");
  }
  std::remove(list.c_str());
  EXPECT_EQ(Accounts(Base()), before) << "nothing changed, not even uSNChanged";
}

}  // namespace
}  // namespace agewarden::lab
