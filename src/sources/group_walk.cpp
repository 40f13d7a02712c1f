#include "sources/group_walk.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "search/find_users.h"

namespace agewarden {
namespace {

// Members whose searches are announced ahead of the one being treated, at
// every kAnnounceEvery members.
constexpr size_t kAnnounceAhead = 800;
constexpr size_t kAnnounceEvery = 100;

// A principal's path as the messages show it, without its "WinNT://": the
// domain and the name, or the SID text alone.
std::string PathText(const Principal& principal) {
  const std::string& domain = principal.DomainName();
  return domain.empty() ? principal.name : domain + "/" + principal.name;
}

bool OnPath(const std::vector<std::string>& walkPath, const std::string& groupPath) {
  for (const std::string& entered : walkPath) {
    if (EqualsIgnoreAsciiCase(entered, groupPath)) return true;
  }
  return false;
}

struct Walker {
  RunState& state;
  AccountSearch& search;
  // Paths of the groups being walked, outermost first.
  std::vector<std::string> path;
  // Accounts met anywhere in the walk so far, other domains' included.
  int32_t userCount = 0;

  void Member(const Principal& member) {
    const bool debug = state.options.debug;
    const std::string memberPath = PathText(member);
    if (debug) state.Print("Member ADSPath: WinNT://%s\n", memberPath);
    if (debug) state.Print("Member Name: %s\n", member.name);

    std::unique_ptr<Group> nested;
    if (member.IsGroup() && Succeeded(state.directory->OpenGroup(member, nested)) && nested) {
      if (OnPath(path, memberPath)) {
        state.Print("Group %s skipped - it is already being walked\n", memberPath);
      } else {
        Walk(*nested);
      }
      return;
    }

    // Whatever cannot be opened as a group counts as an account.
    if (userCount < INT32_MAX) ++userCount;
    if (!IsOwnDomainAccount(member)) {
      state.Print("Member %s skipped - not the %s domain\n", memberPath, state.domainName);
      return;
    }
    const std::string clause = UpnFilterClause(state, member.name);
    if (debug) state.Print("Calling FindUsers(pC,%s)\n", clause);
    // Not-found accounts and failed searches pass without a message here.
    FindUsers(state, search, clause);
  }

  // Its domain compared as the user typed it, letter case included.
  bool IsOwnDomainAccount(const Principal& member) const {
    const std::string& domain = member.DomainName();
    return !domain.empty() && domain == state.domainName;
  }

  // Tells the directory which accounts among members[from, to) will be
  // searched, so that it may ask for many at once. Returns `to`.
  size_t Announce(const std::deque<Principal>& members, size_t from, size_t to) {
    std::vector<std::string> names;
    for (size_t i = from; i < to; ++i) {
      if (!members[i].IsGroup() && IsOwnDomainAccount(members[i])) names.push_back(members[i].name);
    }
    AnnounceNames(state, search, names);
    return to;
  }

  void Walk(Group& group) {
    const std::string groupPath = PathText(group.Identity());
    if (state.options.debug) state.Print("Enumerating Group: WinNT://%s\n", groupPath);
    std::deque<Principal> members;
    if (Failed(group.Members(members))) {
      state.Write("Members failed\n");
    } else {
      path.push_back(groupPath);
      size_t announced = 0;
      for (size_t i = 0; i < members.size(); ++i) {
        if (i % kAnnounceEvery == 0) {
          announced = Announce(members, announced, std::min(members.size(), i + kAnnounceAhead));
        }
        Member(members[i]);
      }
      path.pop_back();
    }
    // The test is of the whole walk so far, not of this group alone.
    if (userCount <= 0) {
      state.Write("Group does not contain any users\n");
      ++state.errorCount;
    }
  }
};

}  // namespace

void ProcessGroup(RunState& state, AccountSearch& search, Group& group) {
  Walker walker{state, search, {}, 0};
  walker.Walk(group);
}

}  // namespace agewarden
