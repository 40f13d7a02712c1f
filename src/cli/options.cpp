#include "cli/options.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>

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

// The -d value as strtol reads it in decimal (leading white space, one
// optional sign, digits up to the first other character; no digits give 0),
// saturated at the 32-bit range.
int32_t ParseDays(const std::string& text) {
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return static_cast<int32_t>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
}

// The checks after the option loop. False when the run stops with -1.
bool Validate(RunOptions& o, std::ostream& out) {
  if (o.help) {
    for (const std::string_view line : kUsage) out << line;
    return false;
  }
  if (o.days <= 0) {
    out << "Invalid number of days (must be > 0).\n";
    return false;
  }
  const int given = int{o.userGiven} + int{o.listGiven} + int{o.ouGiven} + int{o.groupGiven};
  if (given == 0) {
    out << "ONE of  \"-o\" or \"-u\" or \"-l\" or \"-g\" must be specified.\nUse -h for full help.\n";
    return false;
  }
  if (given > 1) {
    out << "ONLY ONE of \"-o\" or \"-u\" or \"-l\" or \"-g\" may be specified.\nUse -h for full help.\n";
    return false;
  }
  if (o.debug) {
    o.quiet = false;
    out << "*** DEBUG MODE ***\n";
  }
  return true;
}

}  // namespace

std::optional<RunOptions> ParseCommandLine(const std::vector<std::string>& args, std::ostream& out) {
  RunOptions o;
  const struct {
    std::string_view name;
    std::string* field;
    bool* given;
  } valueOptions[] = {
      {"-o", &o.ouPath, &o.ouGiven},
      {"-u", &o.userName, &o.userGiven},
      {"-l", &o.listPath, &o.listGiven},
      {"-g", &o.groupName, &o.groupGiven},
  };
  const size_t count = args.size();
  for (size_t i = 1; i < count; ++i) {
    const std::string& arg = args[i];
    const auto is = [&](std::string_view option) { return EqualsIgnoreAsciiCase(arg, option); };
    // A value option given last sets nothing.
    const bool hasValue = i + 1 < count;
    if (is("-d")) {
      if (hasValue) o.days = ParseDays(args[++i]);
      continue;
    }
    bool taken = false;
    for (const auto& option : valueOptions) {
      if (!is(option.name)) continue;
      taken = true;
      if (!hasValue) break;
      const std::string& value = args[++i];
      if (Utf16Length(value) > kMaxValueLength) {
        out << option.name << " value is too long\n";
        return std::nullopt;
      }
      *option.field = value;
      *option.given = true;
    }
    if (taken) continue;
    if (is("-x")) {
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
  if (!Validate(o, out)) return std::nullopt;
  return o;
}

SelectionMode GetSelectionMode(const RunOptions& options) {
  if (options.userGiven) return SelectionMode::User;
  if (options.listGiven) return SelectionMode::List;
  if (options.ouGiven) return SelectionMode::Ou;
  return SelectionMode::Group;
}

}  // namespace agewarden
