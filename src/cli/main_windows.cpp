// agewarden.exe: the Windows entry point. The arguments arrive as UTF-16
// (wmain) and become the UTF-8 text the program works in; output, the
// environment and the directory are the Windows ones. The exit status is the
// run's own: -1, or the error count, uncapped (a Windows status has 32 bits).
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "cli/environment_windows.h"
#include "cli/output_windows.h"
#include "cli/run.h"
#include "common/utf16.h"
#include "directory/backend/ldap_directory.h"

int wmain(int argc, wchar_t** argv) {
  using namespace agewarden;

  std::vector<std::string> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(WideToUtf8(argv[i]));

  const std::unique_ptr<std::streambuf> output = OpenStandardOutput();
  std::ostream out(output.get());
  const std::unique_ptr<Directory> directory = CreateLdapDirectory();
  RunSeams seams;
  seams.out = &out;
  seams.directory = directory.get();
  seams.environment = ReadEnvironmentVariable;
  const int32_t status = RunTool(args, seams);
  out.flush();
  return status;
}
