// Runs against the in-memory directory, with a fixed clock and zone and the
// output captured.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/run.h"
#include "common/run_state.h"
#include "fake_directory.h"

namespace agewarden::testing {

constexpr const char* kBase = "DC=corp,DC=example";
constexpr const char* kStaff = "OU=Staff,DC=corp,DC=example";
// 2003-03-14 09:26:53 UTC: 190.1 days before the harness's clock.
constexpr int64_t kMarch14 = 126921076130000000;
// 2003-09-20 12:00:00 UTC.
constexpr int64_t kNow = 127085328000000000;

/// A zone at a fixed offset from UTC, in hours.
inline ZoneOffset FixedZone(int hours) {
  return [hours](int64_t, int64_t& offset) {
    offset = int64_t{hours} * 3600;
    return true;
  };
}

/// Options for a direct call: any of q (quiet), x (debug) and t (toggle).
inline RunOptions Options(std::string_view flags = "", int32_t days = 180) {
  RunOptions o;
  o.days = days;
  o.quiet = flags.find('q') != std::string_view::npos;
  o.debug = flags.find('x') != std::string_view::npos;
  o.toggle = flags.find('t') != std::string_view::npos;
  return o;
}

/// A fresh directory holding the domain and OU=Staff, and the seams of a run.
struct RunHarness {
  RunHarness() {
    directory.rootDse = {{"defaultNamingContext", {std::string(kBase)}}};
    directory.objects.push_back({kBase, {}});
    directory.objects.push_back({kStaff, {}});
  }

  RunSeams Seams() {
    RunSeams seams;
    seams.out = &out;
    seams.directory = &directory;
    seams.now = [] { return kNow; };
    seams.zone = zone;
    seams.environment = [this](const std::string& name, std::string& value) {
      const auto found = environment.find(name);
      if (found != environment.end()) value = found->second;
      return found != environment.end();
    };
    return seams;
  }

  /// The whole tool, as main runs it; the exit status.
  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "agewarden");
    return RunCommandLine(args, Seams());
  }

  /// A run as the run driver leaves it before a search, in the domain CORP.
  RunState State(const RunOptions& options) {
    RunState state(Seams(), options);
    state.domainName = "CORP";
    state.upnSuffix = "@corp.example";
    return state;
  }

  std::string Output() const { return out.str(); }

  std::ostringstream out;
  FakeDirectory directory;
  ZoneOffset zone = FixedZone(0);
  std::map<std::string, std::string> environment = {{"USERDOMAIN", "CORP"}, {"USERNAME", "admin"}};
};

}  // namespace agewarden::testing
