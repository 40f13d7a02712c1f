// agewarden: finds the accounts whose password was last set N days ago or
// more and, with -t, makes each of them choose a new password at next logon.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/ou_path.h"
#include "cli/run.h"
#include "directory/ldap_directory.h"

int main(int argc, char** argv) {
  using namespace agewarden;
  std::ios::sync_with_stdio(false);

  std::vector<std::string> args(argv, argv + argc);
  RunState state;
  state.out = &std::cout;
  state.environment = [](const std::string& name, std::string& value) {
    const char* found = std::getenv(name.c_str());
    if (found == nullptr) return false;
    value = found;
    return true;
  };

  int32_t result = -1;
  if (ParseCommandLine(args, state) && ValidateOptions(state)) {
    if (state.options.ouGiven) TranslateOuPath(state);
    auto directory = CreateLdapDirectory();
    state.directory = directory.get();
    result = RunSelection(state);
  }
  std::cout.flush();
  return ExitStatus(result);
}
