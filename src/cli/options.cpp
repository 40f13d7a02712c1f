#include "cli/options.h"

#include <cstdint>
#include <limits>

#include "common/text.h"

namespace agewarden {
namespace {

constexpr std::string_view kUsage[] = {
    "\nagewarden -- Windows 2000 Keyfrost\n\n",
    "Syntax: agewarden <user-select-criteria> [-d nnn] [-t] [-q] [-h]\n\n",
    "Where:\n",
    "  <user-select-criteria> is ONE of:\n",
    "  -o OU-name(s) -- OU-name\n",
    "                   Use '/' for downward levels\n",
    "                   Use double-quotes if contains spaces\n",
    "                   Example, simple, no spaces: -o YourOU\n",
    "                   Example, simple, spaces:    -o \"Your OU\"\n",
    "                   Example, nested, no spaces: -o YourOU/YourStaff/Admins\n",
    "                   Example, nested, spaces:    -o \"Your OU/Your Staff/Admins\"\n",
    "  -g groupname  -- Group name (will process nested groups)\n",
    "                   Example, no spaces: -g YourOUAdmins\n",
    "                   Example, spaces:    -g \"Your OU Admins\"\n",
    "  -u username   -- Single username\n",
    "                   Example: -u joeuser\n",
    "  -l file-path  -- List of users (path to txt file with one per line)\n",
    "                   Example: -l \"C:\\Password Control\\admins.txt\"\n\n",
    "  -d n          -- Number of days since password change (default=180)\n",
    "  -t            -- Toggle to force password change (default just displays)\n",
    "  -q            -- Quiet (only display usernames processed and errors)\n",
    "  -h            -- Help with syntax\n\n",
    "agewarden: password-age report and forced password change for Active Directory\n",
    "The agewarden project, free software for directory administrators\n",
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Stores a value of -o, -u, -l or -g after the length check.
bool TakeValue(RunState& state, char letter, const std::string& value, std::string& field, bool& flag) {
  if (Utf16Length(value) > kMaxValueLength) {
    state.Print("-%s value is too long\n", std::string(1, letter));
    return false;
  }
  field = value;
  flag = true;
  return true;
}

}  // namespace

int32_t ParseDays(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kLimit) value = kLimit;
  }
  if (negative) return value >= kLimit ? std::numeric_limits<int32_t>::min() : static_cast<int32_t>(-value);
  return value >= kLimit ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(value);
}

bool ParseCommandLine(const std::vector<std::string>& args, RunState& state) {
  RunOptions& o = state.options;
  const size_t count = args.size();
  for (size_t i = 1; i < count; ++i) {
    const std::string& arg = args[i];
    const auto is = [&](std::string_view option) { return EqualsIgnoreAsciiCase(arg, option); };
    const bool hasValue = i + 1 < count;
    if (is("-d") || is("-o") || is("-u") || is("-l") || is("-g")) {
      // A value option given last sets nothing.
      if (!hasValue) continue;
      const std::string& value = args[i + 1];
      const char letter = AsciiLower(arg[1]);
      ++i;
      bool ok = true;
      switch (letter) {
        case 'd': o.days = ParseDays(value); break;
        case 'o': ok = TakeValue(state, letter, value, o.ouPath, o.ouGiven); break;
        case 'u': ok = TakeValue(state, letter, value, o.userName, o.userGiven); break;
        case 'l': ok = TakeValue(state, letter, value, o.listPath, o.listGiven); break;
        case 'g': ok = TakeValue(state, letter, value, o.groupName, o.groupGiven); break;
      }
      if (!ok) return false;
    } else if (is("-x")) {
      o.debug = true;
    } else if (is("-q")) {
      o.quiet = true;
    } else if (is("-t")) {
      o.toggle = true;
    } else {
      // -h itself and every word that no option consumed.
      o.help = true;
    }
  }
  return true;
}

bool ValidateOptions(RunState& state) {
  RunOptions& o = state.options;
  if (o.help) {
    PrintUsage(state);
    return false;
  }
  if (o.days <= 0) {
    state.Write("Invalid number of days (must be > 0).\n");
    return false;
  }
  const int given = int{o.userGiven} + int{o.listGiven} + int{o.ouGiven} + int{o.groupGiven};
  if (given == 0) {
    state.Write("ONE of  \"-o\" or \"-u\" or \"-l\" or \"-g\" must be specified.\nUse -h for full help.\n");
    return false;
  }
  if (given > 1) {
    state.Write("ONLY ONE of \"-o\" or \"-u\" or \"-l\" or \"-g\" may be specified.\n");
    state.Write("Use -h for full help.\n");
    return false;
  }
  if (o.debug) {
    o.quiet = false;
    state.Write("*** DEBUG MODE ***\n");
  }
  return true;
}

void PrintUsage(const RunState& state) {
  for (const std::string_view line : kUsage) state.Write(line);
}

SelectionMode GetSelectionMode(const RunOptions& options) {
  if (options.userGiven) return SelectionMode::User;
  if (options.listGiven) return SelectionMode::List;
  if (options.ouGiven) return SelectionMode::Ou;
  return SelectionMode::Group;
}

}  // namespace agewarden
