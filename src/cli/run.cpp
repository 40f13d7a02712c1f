#include "cli/run.h"

#include <memory>

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

// Expands %name% the Windows way: a variable that is not set stays as its
// literal text. False when the value is longer than kMaxEnvironmentLength.
bool ExpandEnvironmentVariable(const RunState& state, const std::string& name, std::string& value) {
  std::string found;
  if (!state.environment(name, found)) {
    value = "%" + name + "%";
    return true;
  }
  if (Utf16Length(found) > kMaxEnvironmentLength) return false;
  value = found;
  return true;
}

// "@" followed by every DC= value of the naming context, joined with ".".
std::string UpnSuffixOf(std::string_view namingContext) {
  std::string suffix = "@";
  size_t i = 0;
  while (i < namingContext.size()) {
    if (namingContext.substr(i, 3) != "DC=") {
      ++i;
      continue;
    }
    const size_t start = i + 3;
    const size_t comma = namingContext.find(',', start);
    if (comma == std::string_view::npos) {
      suffix += namingContext.substr(start);
      break;
    }
    suffix += namingContext.substr(start, comma - start);
    suffix += '.';
    i = comma + 1;
  }
  return suffix;
}

// Start and Stop of the directory session around everything the run asks of
// it; objects declared after the guard are released before the Stop.
class DirectorySession {
 public:
  explicit DirectorySession(Directory& directory) : directory_(directory) { directory_.Start(); }
  ~DirectorySession() { directory_.Stop(); }
  DirectorySession(const DirectorySession&) = delete;
  DirectorySession& operator=(const DirectorySession&) = delete;

 private:
  Directory& directory_;
};

// The default naming context of the root DSE; false when it cannot be read.
bool ReadNamingContext(RunState& state, std::string& namingContext) {
  std::unique_ptr<AdsObject> rootDse;
  if (Failed(state.directory->OpenObject("LDAP://rootDSE", rootDse)) || !rootDse) {
    state.Write("Could not bind to LDAP://rootDSE.\n");
    return false;
  }
  Variant value;
  const HRESULT got = rootDse->Get("defaultNamingContext", value);
  const std::string* text = std::get_if<std::string>(&value);
  if (Failed(got) || text == nullptr) {
    state.Write("Could not get default naming context.\n");
    return false;
  }
  namingContext = *text;
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

  if (!ExpandEnvironmentVariable(state, "USERDOMAIN", state.domainName)) {
    state.Write("Unable to retrieve your domain name\n");
    return ErrorEnding(state);
  }
  if (o.debug) state.Print("Domain name: %s\n", state.domainName);

  const DirectorySession session(*state.directory);

  if (mode == SelectionMode::Group && EqualsIgnoreAsciiCase(o.groupName, "Domain Users")) {
    std::string callerName;
    if (!ExpandEnvironmentVariable(state, "USERNAME", callerName)) {
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

  state.upnSuffix = UpnSuffixOf(namingContext);
  if (o.debug) state.Print("UPNsfx: %s\n", state.upnSuffix);
  std::string containerPath = "LDAP://";
  if (mode == SelectionMode::Ou) containerPath += state.ouRdnChain + ",";
  containerPath += namingContext;
  if (o.debug) state.Print("Container: %s\n", containerPath);

  if (!o.quiet) PrintBanner(state, mode);

  std::unique_ptr<DirectorySearch> search;
  if (Failed(state.directory->OpenSearch(containerPath, search)) || !search) {
    if (mode == SelectionMode::Ou) {
      state.Print("Could not find OU \"%s\".\n", o.ouPath);
    } else {
      state.Print("Could not bind to the container %s.\n", containerPath);
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
      std::unique_ptr<AdsGroup> group;
      const std::string groupPath = "WinNT://" + state.domainName + "/" + o.groupName;
      if (Failed(state.directory->GetGroup(groupPath, group)) || !group) {
        state.Print("Could not find Group \"%s\"\n", o.groupName);
        ++state.errorCount;
      } else {
        ProcessGroup(state, *search, *group);
      }
      break;
    }
  }
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
