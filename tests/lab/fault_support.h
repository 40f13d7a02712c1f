// Running the real binary under control for the fault and bad-input tests:
// a chosen environment (variables set, emptied or removed), standard input
// as /dev/null, a closed pipe or a terminal, a deadline after which the run
// is killed, its peak memory, and a run that can be held at a write to its
// standard output while the test does something to the lab DC.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace agewarden::lab {

enum class Input {
  DevNull,
  ClosedPipe,  ///< a pipe whose writing end is closed before the run starts
  Terminal,    ///< a pseudo-terminal, the run's controlling terminal too
};

struct Launch {
  std::vector<std::string> args = {};
  std::string program = AGEWARDEN_BINARY;
  /// Changes to this process's environment: a value sets the variable (an
  /// empty one too), nothing removes it.
  std::map<std::string, std::optional<std::string>> environment = {};
  Input input = Input::DevNull;
  /// Capacity of the standard-output pipe in bytes (0: the system's). A
  /// small one makes a run that nobody reads stop early at a write.
  int outputPipeSize = 0;
};

struct Outcome {
  std::string out;
  std::string err;
  std::string terminal;  ///< what the run wrote to its terminal (Input::Terminal)
  int status = -1;       ///< exit status, or 128 + the signal that ended it
  bool overran = false;  ///< still running at the deadline: killed
  double seconds = 0;    ///< from the start to the end of the run
  long peakRssKb = 0;    ///< the run's maximum resident set size
};

class Child {
 public:
  explicit Child(const Launch& launch);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  /// Without reading anything, waits until the run's standard-output pipe is
  /// full: the run is then held at its next write. False after `limit`
  /// seconds or when the run ended.
  bool WaitUntilHeldAtOutput(double limit);

  /// Reads standard output until it holds `text`; false after `limit` seconds
  /// or at the end of the run.
  bool ReadUntil(const std::string& text, double limit);

  /// Reads everything to the end of the run and collects it, killing the run
  /// when it goes on `limit` seconds after this call.
  Outcome Finish(double limit);

 private:
  // One round of reading whatever is ready, waiting at most `milliseconds`.
  void Pump(int milliseconds);

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  int terminal_ = -1;
  double started_ = 0;
  Outcome outcome_;
};

/// Runs to the end, killing the run after `limit` seconds.
Outcome RunTool(const Launch& launch, double limit = 60);

/// Seconds on the monotonic clock.
double Now();

/// The PID of the lab's samba process (the leader of its process group);
/// -1 when it is not running.
pid_t SambaPid();

/// True when `scripts/labdc status` says the DC is up and answering.
bool LabHealthy();

}  // namespace agewarden::lab
