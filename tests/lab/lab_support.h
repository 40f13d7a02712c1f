// Running the real binary and the lab's tools against the lab domain
// controller (scripts/labdc): one way to start a child process, with its
// environment changed, standard input as /dev/null, a closed pipe, a terminal
// or a text, a deadline, its peak memory, and a run that can be held at a
// write to its standard output while the test does something to the DC.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

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

/// Changes to this process's environment: a value sets the variable (an empty
/// one too), nothing removes it.
using Environment = std::map<std::string, std::optional<std::string>>;

enum class Input { DevNull, ClosedPipe, Terminal, Text };

struct Launch {
  std::vector<std::string> args = {};
  Environment environment = {};
  Input input = Input::DevNull;
  std::string text = {};     ///< standard input for Input::Text
  int outputPipeSize = 0;    ///< bytes; a small pipe nobody reads holds the run at a write
  std::string program = AGEWARDEN_BINARY;
};

struct Result {
  std::string out;
  std::string err;
  std::string terminal;  ///< what the run wrote to its terminal (Input::Terminal)
  int status = -1;       ///< exit status, or 128 + the signal that ended it
  bool overran = false;  ///< still running at the deadline: killed
  double seconds = 0;
  long peakRssKb = 0;
};

class Child {
 public:
  explicit Child(const Launch& launch);
  ~Child();
  Child(const Child&) = delete;
  /// Waits, reading nothing, until the standard-output pipe is full: the run
  /// is then held at its next write. False after `limit` seconds or at its end.
  bool WaitUntilHeldAtOutput(double limit);
  /// Reads standard output until it holds `text`; false after `limit` seconds.
  bool ReadUntil(const std::string& text, double limit);
  /// Reads everything to the end of the run, killing it `limit` seconds on.
  Result Finish(double limit);

 private:
  void Pump(int milliseconds);
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1, terminal_ = -1;
  double started_ = 0;
  Result result_;
};

/// Runs to the end, killed after `limit` seconds.
Result RunTool(const Launch& launch, double limit = 120);
/// The same with `overrides` where an empty value removes the variable.
Result Execute(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& overrides = {}, const std::string& input = "");
Result Agewarden(const std::vector<std::string>& args, const std::map<std::string, std::string>& overrides = {});
Result Shell(const std::string& command, const std::map<std::string, std::string>& overrides = {});

/// `scripts/labdc ARGUMENTS` on the lab the environment names (LAB_DIR, LAB_IP).
Result Labdc(const std::string& arguments);
/// The `export` lines of `scripts/labdc env [which]`, as a map.
std::map<std::string, std::string> LabEnvironment(const std::string& which = "");
Environment PlainUser();
/// Resets the lab to its seeded state (after a test that wrote).
void ResetLab();
/// The lab's samba (leader of its process group); -1 when it is not running.
pid_t SambaPid();

std::string Base();
/// Every user below `base` as sAMAccountName -> attribute -> value (values
/// of a multi-valued attribute joined by newlines), read as Administrator.
using Accounts = std::map<std::string, std::map<std::string, std::string>>;
Accounts ReadAccounts(const std::string& base, const std::string& attributes = "*");

double Now();
std::vector<std::string> Lines(const std::string& text);
std::vector<std::string> SortedLines(const std::string& text);
/// A scratch file of this test process, written with `content` when given.
std::string TempPath(const std::string& name, const std::optional<std::string>& content = std::nullopt);

}  // namespace agewarden::lab
