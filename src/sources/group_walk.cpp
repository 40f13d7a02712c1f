#include "sources/group_walk.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "search/find_users.h"

namespace agewarden {
namespace {

constexpr std::string_view kWinNtPrefix = "WinNT://";
// Members whose searches are announced ahead of the one being treated.
constexpr size_t kAnnounceAhead = 800;

// A path as the skip messages show it: without its "WinNT://".
std::string_view WithoutPrefix(std::string_view path) {
  if (path.substr(0, kWinNtPrefix.size()) == kWinNtPrefix) return path.substr(kWinNtPrefix.size());
  return path;
}

bool OnPath(const std::vector<std::string>& walkPath, const std::string& groupPath) {
  for (const std::string& entered : walkPath) {
    if (EqualsIgnoreAsciiCase(entered, groupPath)) return true;
  }
  return false;
}

struct Walker {
  RunState& state;
  DirectorySearch& search;
  // ADsPaths of the groups being walked, outermost first.
  std::vector<std::string> path;
  // Accounts met anywhere in the walk so far, other domains' included.
  int32_t userCount = 0;

  // One member of a batch. False when a nested walk failed: the rest of
  // the batch is then passed over.
  bool Member(const GroupMember& member) {
    const bool debug = state.options.debug;
    if (debug) state.Print("Member ADSPath: %s\n", member.path);
    if (debug) state.Print("Member Name: %s\n", member.name);

    std::unique_ptr<AdsGroup> nested;
    if (member.isGroup && Succeeded(state.directory->GetGroup(member.path, nested)) && nested) {
      if (OnPath(path, member.path)) {
        state.Print("Group %s skipped - it is already being walked\n", WithoutPrefix(member.path));
        return true;
      }
      return Walk(*nested);
    }

    // Whatever cannot be bound as a group counts as an account.
    if (userCount < INT32_MAX) ++userCount;
    if (!IsOwnDomainAccount(member)) {
      state.Print("Member %s skipped - not the %s domain\n", WithoutPrefix(member.path), state.domainName);
      return true;
    }
    const std::string clause = UpnFilterClause(state, member.name);
    if (debug) state.Print("Calling FindUsers(pC,%s)\n", clause);
    // Not-found accounts and failed searches pass without a message here.
    FindUsers(state, search, clause);
    return true;
  }

  bool IsOwnDomainAccount(const GroupMember& member) const {
    return member.path == std::string(kWinNtPrefix) + state.domainName + "/" + member.name;
  }

  // Tells the directory which accounts among members[from, to) will be
  // searched, so that it may ask for many at once. Returns `to`.
  size_t Announce(const std::vector<GroupMember>& members, size_t from, size_t to) {
    std::vector<std::string> clauses;
    for (size_t i = from; i < to; ++i) {
      if (!members[i].isGroup && IsOwnDomainAccount(members[i])) {
        clauses.push_back(UpnFilterClause(state, members[i].name));
      }
    }
    AnnounceSearches(search, clauses);
    return to;
  }

  // False when the group's path cannot be read or a nested walk failed: the
  // walk of the enclosing group then passes over the rest of its batch too.
  bool Walk(AdsGroup& group) {
    std::string groupPath;
    const HRESULT read = group.GetAdsPath(groupPath);
    if (Failed(read)) {
      state.Write("ProcessGroup: get_ADsPath failed\n");
      return false;
    }
    if (state.options.debug) state.Print("Enumerating Group: %s\n", groupPath);
    bool ranThrough = true;
    std::vector<GroupMember> members;
    if (Failed(group.Members(members))) {
      state.Write("Members failed\n");
    } else {
      path.push_back(groupPath);
      size_t announced = 0;
      // Batches of kMemberBatchSize: a nested walk that fails ends its own
      // batch, and the walk goes on with the next one.
      for (size_t start = 0; start < members.size(); start += kMemberBatchSize) {
        const size_t end = std::min(members.size(), start + kMemberBatchSize);
        announced = Announce(members, announced, std::min(members.size(), start + kAnnounceAhead));
        for (size_t i = start; i < end; ++i) {
          if (!Member(members[i])) {
            ranThrough = false;
            break;
          }
        }
      }
      path.pop_back();
    }
    // The test is of the whole walk so far, not of this group alone.
    if (userCount <= 0) {
      state.Write("Group does not contain any users\n");
      ++state.errorCount;
    }
    return ranThrough;
  }
};

}  // namespace

void ProcessGroup(RunState& state, DirectorySearch& search, AdsGroup& group) {
  Walker walker{state, search, {}, 0};
  walker.Walk(group);
}

}  // namespace agewarden
