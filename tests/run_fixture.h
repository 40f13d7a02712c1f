// A run against the in-memory directory, with a fixed clock and zone and the
// output captured.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/ou_path.h"
#include "cli/run.h"
#include "common/run_state.h"
#include "fake_directory.h"

namespace agewarden::testing {

constexpr const char* kBase = "DC=corp,DC=example";
constexpr const char* kStaff = "OU=Staff,DC=corp,DC=example";

/// A zone at a fixed offset from UTC, in hours.
inline ZoneOffset FixedZone(int hours) {
  return [hours](int64_t, int64_t& offset) {
    offset = int64_t{hours} * 3600;
    return true;
  };
}

/// One run's state over a fresh directory holding the domain and OU=Staff.
class RunHarness {
 public:
  RunHarness() {
    state.out = &out;
    state.directory = &directory;
    // 2003-09-20 12:00:00 UTC.
    state.now = [] { return int64_t{127085328000000000}; };
    state.zone = FixedZone(0);
    state.environment = [this](const std::string& name, std::string& value) {
      auto found = environment.find(name);
      if (found == environment.end()) return false;
      value = found->second;
      return true;
    };
    directory.SetRootDse({{"defaultNamingContext", {std::string(kBase)}}});
    directory.AddObject(kBase, {{"objectClass", {std::string("domain")}}});
    directory.AddObject(kStaff, {{"objectClass", {std::string("organizationalUnit")}}});
  }

  /// Parses, validates, translates and runs a command line as main does.
  /// Returns the exit status.
  int RunTool(std::vector<std::string> args) {
    args.insert(args.begin(), "agewarden");
    int32_t result = -1;
    if (ParseCommandLine(args, state) && ValidateOptions(state)) {
      if (state.options.ouGiven) TranslateOuPath(state);
      result = RunSelection(state);
    }
    return ExitStatus(result);
  }

  std::string Output() const { return out.str(); }

  std::ostringstream out;
  FakeDirectory directory;
  RunState state;
  std::map<std::string, std::string> environment = {{"USERDOMAIN", "CORP"}, {"USERNAME", "admin"}};
};

class RunFixture : public ::testing::Test, public RunHarness {};

}  // namespace agewarden::testing
