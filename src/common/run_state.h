// The records one run shares: the validated command line, the values the run
// driver derives from the directory, the error count, and the seams through
// which output, the directory, the clock, the zone and the environment are
// reached.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "common/filetime.h"
#include "common/format.h"
#include "common/held_output.h"

namespace agewarden {

class Directory;

/// The command line as ParseCommandLine reads and checks it.
struct RunOptions {
  int32_t days = 180;
  bool userGiven = false;
  bool listGiven = false;
  bool ouGiven = false;
  bool groupGiven = false;
  bool quiet = false;
  bool debug = false;
  bool toggle = false;
  bool help = false;
  std::string userName;
  std::string listPath;
  std::string ouPath;
  std::string groupName;
};

enum class SelectionMode { User, List, Ou, Group };

/// Reads an environment variable; false when it is not set.
using EnvironmentReader = std::function<bool(const std::string& name, std::string& value)>;

/// What a run reaches the world through: main passes the real ones, the
/// tests their doubles.
struct RunSeams {
  std::ostream* out = nullptr;
  Directory* directory = nullptr;
  std::function<int64_t()> now = SystemTimeAsFileTime;
  ZoneOffset zone = LocalZoneOffset;
  EnvironmentReader environment;
};

struct RunState : RunSeams {
  RunState(const RunSeams& seams, RunOptions validated) : RunSeams(seams), options(std::move(validated)) {}

  /// Read-only once validated.
  const RunOptions options;
  /// The -o path in directory form, innermost unit first.
  std::string ouRdnChain;
  /// NetBIOS name of the invoking user's domain.
  std::string domainName;
  /// "@" and the DNS name of the domain.
  std::string upnSuffix = "@";
  int32_t errorCount = 0;

  /// Output goes out in the order written, behind any place still held.
  void Write(std::string_view text) const { held_.Write(*out, text); }

  template <typename... Args>
  void Print(std::string_view format, const Args&... args) const {
    Write(Format(format, args...));
  }

  /// A place in the output for text known later (see HeldOutput).
  size_t Hold() const { return held_.Hold(); }
  void Fill(size_t place, std::string_view text) const { held_.Fill(*out, place, text); }

 private:
  mutable HeldOutput held_;
};

}  // namespace agewarden
