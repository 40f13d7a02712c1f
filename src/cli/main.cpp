// agewarden: finds the accounts whose password was last set N days ago or
// more and, with -t, makes each of them choose a new password at next logon.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "cli/run.h"
#include "directory/backend/ldap_directory.h"

int main(int argc, char** argv) {
  using namespace agewarden;
  std::ios::sync_with_stdio(false);

  auto directory = CreateLdapDirectory();
  RunSeams seams;
  seams.out = &std::cout;
  seams.directory = directory.get();
  seams.environment = [](const std::string& name, std::string& value) {
    const char* found = std::getenv(name.c_str());
    if (found == nullptr) return false;
    value = found;
    return true;
  };
  const int status = RunCommandLine(std::vector<std::string>(argv, argv + argc), seams);
  std::cout.flush();
  return status;
}
