// Running the real binary and the lab's tools against the lab domain
// controller (scripts/labdc): a child process with its environment changed,
// standard input /dev/null or a terminal, a deadline and its peak memory,
// that the test can stop and continue while it does something to the DC.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
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

class Child {
 public:
  explicit Child(const Launch& launch);
  ~Child();
  Child(const Child&) = delete;
  void Signal(int signal) const;
  /// Waits until standard output holds `text`; false after `limit` seconds.
  bool WaitFor(const std::string& text, double limit) const;
  /// Waits for the end of the run, killing it `limit` seconds on. Expects
  /// nothing on standard error from anything but /bin/bash.
  Result Finish(double limit);

 private:
  pid_t pid_ = -1;
  bool quiet_ = true;
  int out_ = -1, err_ = -1, terminal_ = -1;
  double started_ = 0;
};

inline Result RunTool(const Launch& launch, double limit = 120) { return Child(launch).Finish(limit); }
Result Shell(const std::string& command, const Environment& environment = {});

/// `scripts/labdc ARGUMENTS` on the lab of LAB_DIR and LAB_IP.
Result Labdc(const std::string& arguments);
/// The environment of `scripts/labdc env plain`.
Environment PlainUser();
/// Without USERDOMAIN and USERNAME, a ticket cache of its own for a seeded
/// user (kinit with `options` and the seeded password).
Environment TicketOf(const std::string& principal, const std::string& options = "");
/// Resets the lab to its seeded state (after a test that wrote).
inline void ResetLab() { EXPECT_EQ(Labdc("reset").status, 0) << "labdc reset"; }
/// The lab's samba (leader of its process group); -1 when it is not running.
pid_t SambaPid();

inline std::string Base() { return getenv("LAB_BASE") ? getenv("LAB_BASE") : "DC=agewarden,DC=lab"; }
/// Every user below `base` as sAMAccountName -> attribute -> values (joined
/// by newlines), read as Administrator.
using Accounts = std::map<std::string, std::map<std::string, std::string>>;
Accounts ReadAccounts(const std::string& base, const std::string& attributes = "*");

inline double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }
std::vector<std::string> Lines(const std::string& text);
/// A scratch file of this test process, written with `content` when given.
std::string TempPath(const std::string& name, const std::optional<std::string>& content = std::nullopt);

}  // namespace agewarden::lab
