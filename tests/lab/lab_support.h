// The real binary and the lab's tools against the lab DC (scripts/labdc): a
// child with its environment changed, standard input /dev/null or a
// terminal, a deadline and its peak memory; the test may stop and continue it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace agewarden::lab {

/// Skips the current test when the lab's environment is not set.
#define REQUIRE_LAB()                                                       \
  do {                                                                      \
    if (getenv("LAB_DIR") == nullptr) GTEST_SKIP() << "lab DC not running"; \
  } while (0)

inline const std::string kBindFailed = "Could not bind to LDAP://rootDSE.\nErrors: 1 \n";

/// Changes to this process's environment: a value sets, nothing removes.
using Environment = std::map<std::string, std::optional<std::string>>;

struct Launch {
  std::vector<std::string> args = {};
  Environment environment = {};
  bool terminal = false;  ///< standard input a terminal of its own, else /dev/null
  std::string program = AGEWARDEN_BINARY;
};

struct Result {
  std::string out;
  std::string err;
  std::string terminal;  ///< what the run wrote to its terminal
  int status = -1;       ///< exit status, or 128 + the signal that ended it
  double seconds = 0;
  long peakRssKb = 0;
};

inline double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }
/// Everything in `fd`, without moving the offset the run writes at.
inline std::string Contents(int fd) {
  std::string text;
  char buffer[65536];
  for (ssize_t got; fd >= 0 && (got = pread(fd, buffer, sizeof buffer, text.size())) > 0;) text.append(buffer, got);
  return text;
}

/// A run whose standard output and error go to files in memory, read as it goes on.
class Child {
 public:
  explicit Child(const Launch& launch) : quiet_(launch.program != "/bin/bash") {
    std::vector<std::string> args = {launch.program};
    args.insert(args.end(), launch.args.begin(), launch.args.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    out_ = memfd_create("stdout", MFD_CLOEXEC);
    err_ = memfd_create("stderr", MFD_CLOEXEC);
    std::string input = "/dev/null";
    if (launch.terminal) {
      terminal_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
      if (terminal_ < 0 || grantpt(terminal_) != 0 || unlockpt(terminal_) != 0) return;
      input = ptsname(terminal_);
    }
    started_ = Now();
    pid_ = fork();
    if (pid_ == 0) {
      // A session of its own: the terminal opened now becomes its controlling
      // terminal, so /dev/tty is that terminal as well.
      setsid();
      for (const auto& [name, value] : launch.environment) {
        if (value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str())) _exit(125);
      }
      const int in = open(input.c_str(), O_RDWR);
      if (in < 0 || dup2(in, 0) < 0 || dup2(out_, 1) < 0 || dup2(err_, 2) < 0) _exit(126);
      execv(launch.program.c_str(), argv.data());
      _exit(127);
    }
  }
  ~Child() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    for (int fd : {out_, err_, terminal_}) if (fd >= 0) close(fd);
  }
  Child(const Child&) = delete;

  void Signal(int signal) const { EXPECT_EQ(kill(pid_, signal), 0); }

  /// Waits until standard output holds `text`; false after `limit` seconds.
  bool WaitFor(const std::string& text, double limit) const {
    for (const double deadline = Now() + limit; Now() < deadline; usleep(10000)) {
      if (Contents(out_).find(text) != std::string::npos) return true;
    }
    return false;
  }

  /// Waits for the end of the run, killing it `limit` seconds on. Expects
  /// nothing on standard error from anything but /bin/bash.
  Result Finish(double limit) {
    Result result;
    if (pid_ <= 0) {
      ADD_FAILURE() << "not started";
      return result;
    }
    const auto readTerminal = [&] {
      char buffer[4096];
      for (ssize_t got; terminal_ >= 0 && (got = read(terminal_, buffer, sizeof buffer)) > 0;) {
        result.terminal.append(buffer, got);
      }
    };
    int status = 0;
    rusage usage{};
    for (const double deadline = Now() + limit; wait4(pid_, &status, WNOHANG, &usage) == 0; usleep(10000)) {
      readTerminal();
      if (Now() >= deadline) {
        ADD_FAILURE() << "still running after " << limit << " s: killed";
        kill(pid_, SIGKILL);
        wait4(pid_, &status, 0, &usage);
        break;
      }
    }
    readTerminal();
    pid_ = -1;
    result.out = Contents(out_);
    result.err = Contents(err_);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.seconds = Now() - started_;
    result.peakRssKb = usage.ru_maxrss;
    if (quiet_) { EXPECT_EQ(result.err, "") << "nothing on standard error"; }
    return result;
  }

 private:
  pid_t pid_ = -1;
  bool quiet_ = true;
  int out_ = -1, err_ = -1, terminal_ = -1;
  double started_ = 0;
};

inline Result RunTool(const Launch& launch, double limit = 120) { return Child(launch).Finish(limit); }

inline Result Shell(const std::string& command, const Environment& environment = {}) {
  return RunTool({.args = {"-c", command}, .environment = environment, .program = "/bin/bash"}, 900);
}

/// `scripts/labdc ARGUMENTS` on the lab of LAB_DIR and LAB_IP.
inline Result Labdc(const std::string& arguments) {
  return Shell("AGEWARDEN_LAB=\"$LAB_DIR\" AGEWARDEN_LAB_IP=\"$LAB_IP\" " AGEWARDEN_SOURCE_DIR "/scripts/labdc " + arguments);
}

/// Resets the lab to its seeded state (after a test that wrote).
inline void ResetLab() { EXPECT_EQ(Labdc("reset").status, 0) << "labdc reset"; }

/// The lab's samba (leader of its process group); -1 when it is not running.
inline pid_t SambaPid() {
  std::ifstream file(std::string(getenv("LAB_DIR")) + "/samba.pid");
  long pid = -1;
  char exe[4096];
  if (!(file >> pid) || pid <= 0) return -1;
  const ssize_t length = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
  return length > 6 && std::string(exe, static_cast<size_t>(length)).ends_with("/samba") ? pid : -1;
}

inline std::string Base() { return getenv("LAB_BASE") ? getenv("LAB_BASE") : "DC=agewarden,DC=lab"; }

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

/// A scratch file of this test process, written with `content` when given.
inline std::string TempPath(const std::string& name, const std::optional<std::string>& content = std::nullopt) {
  const std::string path = ::testing::TempDir() + "agewarden-test-" + std::to_string(getpid()) + "-" + name;
  if (content) std::ofstream(path, std::ios::binary) << *content;
  return path;
}

/// Without USERDOMAIN and USERNAME, a ticket cache of its own for a seeded
/// user (kinit with `options` and the seeded password).
inline Environment TicketOf(const std::string& principal, const std::string& options = "") {
  const std::string cache = TempPath(principal + ".ccache");
  EXPECT_EQ(Shell("printf '%s\\n' \"$LAB_USER_PASSWORD\" | kinit " + options + " -c FILE:" + cache + " " + principal)
                .status, 0);
  return {{"KRB5CCNAME", "FILE:" + cache}, {"USERDOMAIN", std::nullopt}, {"USERNAME", std::nullopt}};
}

/// Every user below `base` as sAMAccountName -> attribute -> values (joined
/// by newlines), read as Administrator.
using Accounts = std::map<std::string, std::map<std::string, std::string>>;
inline Accounts ReadAccounts(const std::string& base, const std::string& attributes = "*") {
  const Result r = Shell("set -f; ldapsearch -LLL -Q -o ldif-wrap=no -b '" + base +
                         "' '(&(objectClass=user)(objectCategory=person))' sAMAccountName " + attributes);
  Accounts accounts;
  std::map<std::string, std::string> entry;
  for (const std::string& line : Lines(r.out + "\n")) {
    const size_t colon = line.find(": ");
    if (line.empty() && entry.count("sAMAccountName")) accounts[entry["sAMAccountName"]] = entry;
    if (line.empty()) entry.clear();
    if (colon == std::string::npos) continue;
    std::string& value = entry[line.substr(0, colon)];
    value += (value.empty() ? "" : "\n") + line.substr(colon + 2);
  }
  return accounts;
}

}  // namespace agewarden::lab
