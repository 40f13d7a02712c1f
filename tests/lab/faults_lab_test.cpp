// The real binary against a lab DC that fails: stopped before the run, killed
// or frozen in the middle of a large report or of a forced change, frozen
// before the bind, tickets that are missing, expired or of another realm, and
// a user without write rights. Each checks the output, the exit status and
// the directory afterwards, and leaves the DC running and answering.
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>

#include "lab_support.h"

namespace agewarden::lab {
namespace {

const std::string kBind = "Could not bind to LDAP://rootDSE.\nErrors: 1 \n";
const std::string kServerDown = "Query failed to run. HRESULT: 8007203a\n";
const std::string kTimedOut = "Query failed to run. HRESULT: 800705b4\n";
constexpr size_t kMany = 10000;
constexpr int kTimeout = 3;  // LDAPTIMEOUT and LDAPNETWORK_TIMEOUT against a frozen DC
const Environment kShortTimeouts = {{"LDAPTIMEOUT", std::to_string(kTimeout)},
                                    {"LDAPNETWORK_TIMEOUT", std::to_string(kTimeout)}};

// Sends `signal` to the lab's samba process group, as labdc stop does; for
// SIGKILL, waits until it is gone.
void SignalDc(int signal) {
  const pid_t pid = SambaPid();
  ASSERT_GT(pid, 0) << "the lab's samba is not running";
  ASSERT_EQ(kill(-pid, signal), 0);
  for (int i = 0; signal == SIGKILL && i < 100 && kill(pid, 0) == 0; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    if (const size_t close = text.rfind(')'); close != std::string::npos && text.substr(close + 2, 1) == "Z") break;
    usleep(50000);
  }
}

class FaultsLab : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_LAB();
    ASSERT_EQ(Labdc("start").status, 0);
  }
  void TearDown() override {
    if (getenv("LAB_DIR") == nullptr) return;
    if (const pid_t pid = SambaPid(); pid > 0) kill(-pid, SIGCONT);
    if (wrote_) ResetLab();
    EXPECT_EQ(Labdc("start").status, 0);
    EXPECT_EQ(Labdc("status").status, 0) << "the DC is left running and answering";
  }
  bool wrote_ = false;
};

TEST_F(FaultsLab, DcStoppedOrFrozenBeforeTheRun) {
  const std::string list = TempPath("list.txt", "staff200a\nstaff400a\n");
  ASSERT_EQ(Labdc("stop").status, 0);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-u", "staff200a"}, {"-o", "Staff", "-q"}, {"-l", list}, {"-g", "Lab Group A", "-d", "1"}, {"-t", "-o", "Staff"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const Result r = RunTool({args}, 30);
    EXPECT_EQ(r.out, kBind);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_LT(r.seconds, 10.0) << "a refused connection fails at once";
  }
  std::remove(list.c_str());
  ASSERT_EQ(Labdc("start").status, 0);
  // With the LDAP service ticket in the cache from this run, the frozen DC is
  // met only over LDAP (a frozen KDC makes libkrb5 wait out its own retries).
  EXPECT_EQ(RunTool({{"-u", "staff200a", "-q"}}).out, "staff200a@agewarden.lab\n") << "works once the DC is back";
  SignalDc(SIGSTOP);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{"-u", "staff200a"}, {"-t", "-o", "Staff"}}) {
    SCOPED_TRACE(::testing::PrintToString(args) + " frozen");
    const Result r = RunTool({.args = args, .environment = kShortTimeouts}, kTimeout + 30);
    EXPECT_EQ(r.out, kBind);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_GE(r.seconds, kTimeout - 1.0) << "the run waited for the DC";
    EXPECT_LT(r.seconds, kTimeout + 15.0);
  }
  SignalDc(SIGCONT);
  EXPECT_EQ(RunTool({{"-u", "staff200a", "-q"}}).out, "staff200a@agewarden.lab\n");
}

// The UPNs of the whole three-line rows of a report of OU=Many; what follows them into `ending`.
std::vector<std::string> ManyRows(const std::string& out, std::string& ending) {
  const std::string banner = "Displaying user objects in OU \"Many\" with passwords 180 days old or older.\n\n";
  EXPECT_EQ(out.rfind(banner, 0), 0u) << out.substr(0, 200);
  static const std::regex row(
      "(many[0-9]{5}@agewarden\\.lab) -- Many [0-9]{5} \\.+\n  Last change: [0-9/]+ [0-9:]+ [AP]M  \\(200\\.[0-9] days\\)\n\n");
  std::vector<std::string> upns;
  auto at = out.cbegin() + static_cast<long>(std::min(out.size(), banner.size()));
  for (std::smatch m; std::regex_search(at, out.cend(), m, row, std::regex_constants::match_continuous); at = m[0].second) {
    upns.push_back(m[1]);
  }
  ending = std::string(at, out.cend());
  return upns;
}

// What a forced change that was cut short left: every account fully changed
// or untouched, the changed ones among those the run reached, and an error
// counted for each account it reported as failed and for the cut itself.
void ExpectWholeChanges(const Result& r, const Accounts& before, const Accounts& after, const std::string& cut) {
  std::set<std::string> reached, failed;
  int counted = -1;
  bool sawCut = false;
  static const std::regex upn("(many[0-9]{5})@agewarden\\.lab");
  static const std::regex failure(
      "(?:Update for user |User |Put pwdLastSet for user |Get userAccountControl for user |Put "
      "userAccountControl for user )(many[0-9]{5})@agewarden\\.lab(?: - ADsGetObject)? failed");
  static const std::regex errors("Errors: ([0-9]+) ");
  std::smatch m;
  for (const std::string& line : Lines(r.out)) {
    if (std::regex_match(line, m, upn)) reached.insert(m[1]);
    else if (std::regex_match(line, m, failure)) failed.insert(m[1]);
    else if (std::regex_match(line, m, errors)) counted = std::stoi(m[1]);
    else if (line + "\n" == cut) sawCut = true;
    else ADD_FAILURE() << "unexpected line: " << line;
  }
  EXPECT_TRUE(sawCut) << "the run says that its search was cut";
  EXPECT_EQ(counted, static_cast<int>(failed.size()) + 1) << "one error per failed account, one for the cut";
  EXPECT_EQ(r.status, std::min(counted, 254));
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(after.size(), before.size());
  size_t changed = 0;
  for (const auto& [sam, was] : before) {
    const auto& now = after.at(sam);
    const bool isChanged = now.at("pwdLastSet") == "0" && now.at("userAccountControl") == "512";
    const bool isUntouched = now == was;
    EXPECT_TRUE(isChanged || isUntouched) << sam << " half changed";
    changed += isChanged;
    EXPECT_TRUE(reached.count(sam) || isUntouched) << sam << " changed, but the run never reached it";
    EXPECT_TRUE(!reached.count(sam) || failed.count(sam) || isChanged) << sam << " reached, not reported as failed, not changed";
  }
  EXPECT_GT(changed, 0u);
  EXPECT_LT(changed, before.size()) << "the DC failed before the run was through";
}

// Starts agewarden, waits until `ready` says the run is part-way through,
// kills or freezes the DC, and collects the run; the DC is running again after.
template <typename Ready>
Result CutShort(const std::vector<std::string>& args, int signal, int pipeSize, Ready ready) {
  Child child({.args = args, .environment = signal == SIGSTOP ? kShortTimeouts : Environment{}, .outputPipeSize = pipeSize});
  EXPECT_TRUE(ready(child));
  SignalDc(signal);
  const double cut = Now();
  const Result r = child.Finish(kTimeout + 30);
  EXPECT_FALSE(r.overran);
  EXPECT_LT(Now() - cut, kTimeout + 15.0) << "the run ended soon after the DC failed";
  if (signal == SIGSTOP) SignalDc(SIGCONT);
  EXPECT_EQ(Labdc("start").status, 0);
  return r;
}

TEST_F(FaultsLab, DcKilledOrFrozenInTheMiddleOfALargeReportAndOfAForcedChange) {
  wrote_ = true;
  ASSERT_EQ(Labdc("many " + std::to_string(kMany)).status, 0);
  const std::string many = "OU=Many," + Base();
  for (const int signal : {SIGKILL, SIGSTOP}) {
    SCOPED_TRACE(signal == SIGKILL ? "report, DC killed" : "report, DC frozen");
    // Nobody reads the run's output: it fills a one-page pipe and is held at
    // a write, the DC part-way through sending 10,000 entries (about 7 MB,
    // more than the sockets buffer); then the DC dies, or freezes with part
    // of an entry (and of a SASL packet) sent.
    const Result r = CutShort({"-o", "Many"}, signal, 4096, [](Child& child) {
      const bool held = child.WaitUntilHeldAtOutput(60);
      usleep(500000);
      return held;
    });
    std::string ending;
    const std::vector<std::string> rows = ManyRows(r.out, ending);
    EXPECT_GT(rows.size(), 0u);
    EXPECT_LT(rows.size(), kMany) << "the whole result was in the sockets' buffers (net.ipv4.tcp_wmem above 4 MB?)";
    EXPECT_EQ(std::set<std::string>(rows.begin(), rows.end()).size(), rows.size()) << "no row twice";
    EXPECT_EQ(ending, (signal == SIGKILL ? kServerDown : kTimedOut) + "Errors: 1 \n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
  }
  // The directory is whole after the restart, and the same report runs through.
  const Result whole = RunTool({{"-o", "Many", "-q"}});
  EXPECT_EQ(Lines(whole.out).size(), kMany);
  EXPECT_EQ(whole.status, 0);

  for (const int signal : {SIGKILL, SIGSTOP}) {
    SCOPED_TRACE(signal == SIGKILL ? "forced change, DC killed" : "forced change, DC frozen");
    const Accounts before = ReadAccounts(many, "pwdLastSet userAccountControl");
    ASSERT_EQ(before.size(), kMany);
    if (signal == SIGKILL) { ASSERT_EQ(before.begin()->second.at("userAccountControl"), "66048"); }
    // One modify per account: the DC fails once the first block of output is in.
    const Result r = CutShort({"-t", "-q", "-o", "Many"}, signal, 0,
                              [](Child& child) { return child.ReadUntil("@agewarden.lab\n", 60); });
    // A frozen DC's cut is a time-out, or, when it froze inside a modify, the
    // connection that the time-out gave up on.
    const bool down = signal == SIGKILL || r.out.find(kServerDown) != std::string::npos;
    ExpectWholeChanges(r, before, ReadAccounts(many, "pwdLastSet userAccountControl"), down ? kServerDown : kTimedOut);
  }
}

TEST_F(FaultsLab, NoUsableTicketFailsTheBindWithoutAPrompt) {
  const auto admin = LabEnvironment();
  const std::string realm = admin.at("LAB_REALM"), tgt = TempPath("tgt.ccache");
  // A cache holding only a ticket-granting ticket, from a fresh kinit.
  const Result kinit = Execute("/usr/bin/kinit", {"Administrator@" + realm}, {{"KRB5CCNAME", "FILE:" + tgt}},
                               admin.at("LAB_PASSWORD") + "\n");
  ASSERT_EQ(kinit.status, 0) << kinit.out << kinit.err;
  std::ifstream in(tgt, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string good = TempPath("good.ccache", bytes);
  // The same cache with its realm renamed (same length): a realm the KDC does not know.
  std::string other = realm;
  for (char& c : other) c = (c >= 'A' && c <= 'Y') ? static_cast<char>(c + 1) : c;
  for (size_t at = 0; (at = bytes.find(realm, at)) != std::string::npos; at += realm.size()) bytes.replace(at, realm.size(), other);
  const std::string otherCache = TempPath("other.ccache", bytes);
  // A krb5.conf that names the lab's KDC for that realm too (which refuses
  // the ticket), and one where no cache is named and no default one exists.
  std::ifstream conf(getenv("KRB5_CONFIG"));
  std::string text((std::istreambuf_iterator<char>(conf)), std::istreambuf_iterator<char>());
  ASSERT_NE(text.find("[realms]"), std::string::npos);
  text.insert(text.find("[realms]") + 8, "\n\t" + other + " = {\n\t\tkdc = " + getenv("LAB_IP") + "\n\t}");
  const std::string otherKdc = TempPath("other-kdc.conf", text);
  ASSERT_NE(text.find("[libdefaults]"), std::string::npos);
  text.insert(text.find("[libdefaults]") + 13, "\n\tdefault_ccache_name = FILE:" + TempPath("no-such.ccache"));
  const std::string noDefault = TempPath("no-default.conf", text);
  const std::string garbage = TempPath("garbage.ccache", std::string("\x05\x04\x00\x0cnot a credential cache\xff\xfe", 28));
  struct Case {
    std::string name;
    Environment environment;
    bool clockAhead = false;
  };
  const std::vector<Case> cases = {
      {"no cache file", {{"KRB5CCNAME", "FILE:" + TempPath("missing.ccache")}}},
      {"an empty cache", {{"KRB5CCNAME", "MEMORY:agewarden-empty"}}},
      {"a file that is no cache", {{"KRB5CCNAME", "FILE:" + garbage}}},
      {"no cache named, no default cache", {{"KRB5CCNAME", std::nullopt}, {"KRB5_CONFIG", noDefault}}},
      {"expired tickets (the clock 3 days on)", {}, true},
      {"an expired ticket-granting ticket only", {{"KRB5CCNAME", "FILE:" + tgt}}, true},
      {"a ticket of another realm", {{"KRB5CCNAME", "FILE:" + otherCache}}},
      {"a ticket of another realm, shown to a KDC", {{"KRB5CCNAME", "FILE:" + otherCache}, {"KRB5_CONFIG", otherKdc}}},
  };
  for (const Case& c : cases) {
    for (const Input input : {Input::Terminal, Input::ClosedPipe}) {
      SCOPED_TRACE(c.name + (input == Input::Terminal ? ", standard input a terminal" : ", standard input closed"));
      Launch launch{.args = {"-u", "staff200a"}, .environment = c.environment, .input = input};
      if (c.clockAhead) {
        launch.args.insert(launch.args.begin(), {"-f", "+3d", AGEWARDEN_BINARY});
        launch.program = "/usr/bin/faketime";
      }
      const Result r = RunTool(launch, 60);
      EXPECT_EQ(r.out, kBind);
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.terminal, "") << "nothing is asked on the terminal";
      EXPECT_EQ(r.status, 1);
      EXPECT_LT(r.seconds, 20.0) << "the run waited for an answer";
    }
  }
  // The tickets themselves are good, and so is the clock wrapper with no shift.
  EXPECT_EQ(RunTool({.args = {"-u", "staff200a", "-q"}, .environment = {{"KRB5CCNAME", "FILE:" + good}}}).out,
            "staff200a@agewarden.lab\n");
  EXPECT_EQ(RunTool({.args = {"-f", "+0", AGEWARDEN_BINARY, "-u", "staff200a", "-q"}, .program = "/usr/bin/faketime"}).out,
            "staff200a@agewarden.lab\n");
  for (const std::string& file : {tgt, good, otherCache, otherKdc, noDefault, garbage}) std::remove(file.c_str());
}

TEST_F(FaultsLab, PlainUserReadsWhatItMayAndEveryWriteIsRefused) {
  const Environment plain = PlainUser();
  ASSERT_EQ(plain.at("USERNAME"), "plainuser");
  const std::string list = TempPath("plain-list.txt", "staff200a nosuchuser\nstaff400b\n");
  const Accounts before = ReadAccounts(Base(), "pwdLastSet userAccountControl uSNChanged");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-u", "staff200a", "-q"}, {"-o", "Staff", "-d", "90", "-q"}, {"-l", list, "-q"}, {"-g", "Lab Group A", "-q", "-d", "1"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const Result asAdmin = RunTool({args});
    const Result asPlain = RunTool({.args = args, .environment = plain});
    EXPECT_EQ(asPlain.out, asAdmin.out) << "a plain user reads the same";
    EXPECT_EQ(asPlain.status, asAdmin.status);
    // The same with -t: every account it reaches is refused and counted.
    std::vector<std::string> toggled = args;
    toggled.insert(toggled.begin(), "-t");
    const Result write = RunTool({.args = toggled, .environment = plain});
    std::string expected;
    int errors = asAdmin.status;
    for (const std::string& line : Lines(asAdmin.out)) {
      if (line.rfind("Errors: ", 0) == 0) continue;
      expected += line + "\n";
      if (line.ends_with("@agewarden.lab")) expected += "Update for user " + line + " failed\n", ++errors;
    }
    EXPECT_GT(errors, asAdmin.status);
    EXPECT_EQ(write.out, expected + "Errors: " + std::to_string(errors) + " \n");
    EXPECT_EQ(write.status, errors);
    EXPECT_EQ(write.err + asPlain.err, "");
  }
  std::remove(list.c_str());
  EXPECT_EQ(ReadAccounts(Base(), "pwdLastSet userAccountControl uSNChanged"), before) << "nothing changed, not even uSNChanged";
}

}  // namespace
}  // namespace agewarden::lab
