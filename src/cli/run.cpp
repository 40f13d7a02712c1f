#include "cli/run.h"

#include <memory>
#include <optional>

#include "cli/domain_admin.h"
#include "cli/options.h"
#include "cli/ou_path.h"
#include "common/text.h"
#include "directory/directory.h"
#include "search/find_users.h"
#include "sources/group_walk.h"
#include "sources/list_file.h"

namespace agewarden {
namespace {

// Longest environment value accepted, in UTF-16 characters.
constexpr size_t kMaxEnvironmentLength = 63;

// The ending: the error line when anything was counted, then the count.
int32_t Ending(RunState& state) {
  if (state.errorCount > 0) state.Print("Errors: %d \n", state.errorCount);
  return state.errorCount;
}

int32_t ErrorEnding(RunState& state) {
  ++state.errorCount;
  return Ending(state);
}

void PrintBanner(const RunState& state, SelectionMode mode) {
  const RunOptions& o = state.options;
  state.Write(o.toggle ? "Toggling " : "Displaying ");
  switch (mode) {
    case SelectionMode::User: state.Print("user \"%s\"", o.userName); break;
    case SelectionMode::Ou: state.Print("user objects in OU \"%s\"", o.ouPath); break;
    case SelectionMode::List: state.Print("user objects in list \"%s\"", o.listPath); break;
    case SelectionMode::Group: state.Print("user objects in group \"%s\"", o.groupName); break;
  }
  state.Print(" with passwords %d days old or older.\n\n", o.days);
}

// What a User- or Ou-mode search result means for the run.
void ReportSearchResult(RunState& state, SelectionMode mode, HRESULT result) {
  const RunOptions& o = state.options;
  if (result != 1) {
    ReportFailedQuery(state, result);
    return;
  }
  if (mode == SelectionMode::User) {
    state.Print("User object \"%s\" could not be found.\n", o.userName);
  } else {
    state.Print("No user objects could be found in \"%s\".\n\n", o.ouPath);
  }
  ++state.errorCount;
}

enum class Expansion { Set, Unset, TooLong };

// Expands %name% the Windows way: a variable that is not set stays as its
// literal text. TooLong when the value is longer than kMaxEnvironmentLength.
Expansion ExpandEnvironmentVariable(const RunState& state, const std::string& name, std::string& value) {
  std::string found;
  if (!state.environment(name, found)) {
    value = "%" + name + "%";
    return Expansion::Unset;
  }
  if (Utf16Length(found) > kMaxEnvironmentLength) return Expansion::TooLong;
  value = found;
  return Expansion::Set;
}

// The invoking user's domain: USERDOMAIN, or in Group mode (the one mode
// whose paths name the domain) the directory's own name when it is not set.
bool ReadDomainName(RunState& state, SelectionMode mode) {
  switch (ExpandEnvironmentVariable(state, "USERDOMAIN", state.domainName)) {
    case Expansion::Set: return true;
    case Expansion::TooLong: return false;
    case Expansion::Unset: break;
  }
  if (mode != SelectionMode::Group) return true;
  std::string learned;
  if (Failed(state.directory->GetDomainName(learned)) || learned.empty()) return false;
  state.domainName = learned;
  return true;
}

// The invoking user's account name: USERNAME, or when it is not set the
// account whose credentials the directory session uses.
bool ReadCallerName(RunState& state, std::string& callerName) {
  switch (ExpandEnvironmentVariable(state, "USERNAME", callerName)) {
    case Expansion::Set: return true;
    case Expansion::TooLong: return false;
    case Expansion::Unset: break;
  }
  return Succeeded(state.directory->GetCallerName(callerName)) && !callerName.empty();
}

// Start and Stop of the directory session around everything the run asks of
// it; objects declared after the guard are released before the Stop, and
// no write is left unanswered.
class DirectorySession {
 public:
  explicit DirectorySession(Directory& directory) : directory_(directory) { directory_.Start(); }
  ~DirectorySession() {
    directory_.FinishWrites();
    directory_.Stop();
  }
  DirectorySession(const DirectorySession&) = delete;
  DirectorySession& operator=(const DirectorySession&) = delete;

 private:
  Directory& directory_;
};

// The default naming context of the root DSE; false when it cannot be read.
bool ReadNamingContext(RunState& state, std::string& namingContext) {
  std::optional<std::string> read;
  if (Failed(state.directory->ReadNamingContext(read))) {
    state.Write("Could not bind to LDAP://rootDSE.\n");
    return false;
  }
  if (!read) {
    state.Write("Could not get default naming context.\n");
    return false;
  }
  namingContext = std::move(*read);
  return true;
}

}  // namespace

int32_t RunSelection(RunState& state) {
  const RunOptions& o = state.options;
  const SelectionMode mode = GetSelectionMode(o);

  if (mode == SelectionMode::List && !OpenListFile(o.listPath)) {
    state.Print("Cannot open input file: \"%s\"\n", o.listPath);
    return -1;
  }

  // Nothing reaches the directory before an operation needs it: learning
  // the domain's name is the first, and only when USERDOMAIN is not set.
  const DirectorySession session(*state.directory);

  if (!ReadDomainName(state, mode)) {
    state.Write("Unable to retrieve your domain name\n");
    return ErrorEnding(state);
  }
  if (o.debug) state.Print("Domain name: %s\n", state.domainName);

  if (mode == SelectionMode::Group && EqualsIgnoreAsciiCase(o.groupName, "Domain Users")) {
    std::string callerName;
    if (!ReadCallerName(state, callerName)) {
      state.Write("Unable to retrieve your username\n");
      return ErrorEnding(state);
    }
    if (o.debug) state.Print("Username: %s\n", callerName);
    if (!IsDomainAdmin(state, callerName)) {
      state.Print("Sorry, %s, you need to be a Domain Admin to do that.\n", callerName);
      return ErrorEnding(state);
    }
  }

  std::string namingContext;
  if (!ReadNamingContext(state, namingContext)) return ErrorEnding(state);

  state.upnSuffix = DnsNameOfNamingContext(namingContext);
  state.upnSuffix.insert(state.upnSuffix.begin(), '@');
  if (o.debug) state.Print("UPNsfx: %s\n", state.upnSuffix);
  const std::string containerDn = (mode == SelectionMode::Ou ? state.ouRdnChain + "," : "") + namingContext;
  if (o.debug) state.Print("Container: LDAP://%s\n", containerDn);

  if (!o.quiet) PrintBanner(state, mode);

  std::unique_ptr<AccountSearch> search;
  if (Failed(state.directory->OpenContainer(containerDn, o.toggle, search)) || !search) {
    if (mode == SelectionMode::Ou) {
      state.Print("Could not find OU \"%s\".\n", o.ouPath);
    } else {
      state.Print("Could not bind to the container LDAP://%s.\n", containerDn);
    }
    return ErrorEnding(state);
  }

  switch (mode) {
    case SelectionMode::User:
      ReportSearchResult(state, mode, FindUsers(state, *search, UpnFilterClause(state, o.userName)));
      break;
    case SelectionMode::Ou:
      ReportSearchResult(state, mode, FindUsers(state, *search, ""));
      break;
    case SelectionMode::List:
      ProcessList(state, o.listPath, *search);
      break;
    case SelectionMode::Group: {
      std::unique_ptr<Group> group;
      if (Failed(state.directory->OpenGroup(state.domainName, o.groupName, group)) || !group) {
        state.Print("Could not find Group \"%s\"\n", o.groupName);
        ++state.errorCount;
      } else {
        // A domain typed in other letter case names the directory's own:
        // the walk compares member paths in the directory's spelling.
        std::string spelled;
        if (Succeeded(state.directory->GetDomainName(spelled)) && EqualsIgnoreAsciiCase(spelled, state.domainName)) {
          state.domainName = spelled;
        }
        ProcessGroup(state, *search, *group);
      }
      break;
    }
  }
  // Every write's outcome is counted before the count is printed.
  state.directory->FinishWrites();
  return Ending(state);
}

int32_t RunTool(const std::vector<std::string>& args, const RunSeams& seams) {
  std::optional<RunOptions> options = ParseCommandLine(args, *seams.out);
  if (!options) return -1;
  RunState state(seams, std::move(*options));
  if (state.options.ouGiven) TranslateOuPath(state);
  return RunSelection(state);
}

int RunCommandLine(const std::vector<std::string>& args, const RunSeams& seams) {
  const int32_t result = RunTool(args, seams);
  if (result < 0) return 255;
  return result > 254 ? 254 : result;
}

}  // namespace agewarden
