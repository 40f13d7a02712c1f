#include "sources/group_walk.h"

#include <memory>
#include <string>
#include <vector>

#include "cli/run.h"
#include "common/text.h"
#include "search/find_users.h"

namespace agewarden {
namespace {

constexpr std::string_view kWinNtPrefix = "WinNT://";

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
  DirectorySearch* search;
  // ADsPaths of the groups being walked, outermost first.
  std::vector<std::string> path;

  enum class Next { Entry, Batch, Stop };

  // One member of a batch; sets `result` and says how the walk goes on.
  Next Member(MemberEntry& entry, int32_t& result) {
    const bool debug = state.options.debug;
    std::unique_ptr<AdsObject> first;
    if (Failed(entry.QueryAds(first)) || !first) {
      state.Write("QueryInterface 2 failed\n");
      return Next::Entry;
    }
    std::unique_ptr<AdsObject> member;
    const HRESULT queried = first->QueryAds(member);
    if (Failed(queried) || !member) {
      result = Failed(queried) ? queried : E_NOINTERFACE;
      return Next::Stop;
    }
    std::string memberPath;
    if (Failed(member->GetAdsPath(memberPath))) return Next::Entry;
    if (debug) state.Print("Member ADSPath: %s\n", memberPath);
    std::string memberName;
    if (Failed(member->GetName(memberName))) return Next::Entry;
    if (debug) state.Print("Member Name: %s\n", memberName);

    std::unique_ptr<AdsGroup> nested;
    if (Succeeded(state.directory->GetGroup(memberPath, nested)) && nested) {
      if (OnPath(path, memberPath)) {
        state.Print("Group %s skipped - it is already being walked\n", WithoutPrefix(memberPath));
        return Next::Entry;
      }
      if (Walk(*nested) != 0) {
        result = 1;
        return Next::Batch;
      }
      return Next::Entry;
    }

    if (state.groupUserCount < INT32_MAX) ++state.groupUserCount;
    const std::string expected = std::string(kWinNtPrefix) + state.domainName + "/" + memberName;
    if (expected != memberPath) {
      state.Print("Member %s skipped - not the %s domain\n", WithoutPrefix(memberPath), state.domainName);
      return Next::Entry;
    }
    const std::string clause = UpnFilterClause(state, memberName);
    if (debug) state.Print("Calling FindUsers(pC,%s)\n", clause);
    // Not-found accounts and failed searches pass without a message here.
    FindUsers(state, search, clause);
    return Next::Entry;
  }

  int32_t Walk(AdsGroup& group) {
    std::string groupPath;
    const HRESULT read = group.GetAdsPath(groupPath);
    if (Failed(read)) {
      state.Write("ProcessGroup: get_ADsPath failed\n");
      return read;
    }
    if (state.options.debug) state.Print("Enumerating Group: %s\n", groupPath);
    path.push_back(groupPath);
    int32_t result = Members(group);
    path.pop_back();
    if (result == kStopped) return stoppedStatus;
    if (state.groupUserCount <= 0) {
      state.Write("Group does not contain any users\n");
      ++state.errorCount;
    }
    return result;
  }

  // The batches of one group. kStopped when a member could not be queried:
  // the walk then ends without its closing test.
  static constexpr int32_t kStopped = INT32_MIN;
  HRESULT stoppedStatus = S_OK;

  int32_t Members(AdsGroup& group) {
    std::unique_ptr<MemberCollection> members;
    if (Failed(group.Members(members)) || !members) {
      state.Write("Members failed\n");
      return 0;
    }
    std::unique_ptr<EnumSource> source;
    if (Failed(members->NewEnum(source)) || !source) {
      state.Write("get__Enum failed\n");
      return 0;
    }
    std::unique_ptr<MemberEnumerator> enumerator;
    if (Failed(source->QueryEnumerator(enumerator)) || !enumerator) {
      state.Write("QueryInterface failed\n");
      return 0;
    }
    int32_t result = 0;
    while (true) {
      std::vector<std::unique_ptr<MemberEntry>> batch;
      uint32_t fetched = 0;
      // Only the count matters: an enumerator that fails hands out nothing.
      enumerator->Next(kMemberBatchSize, batch, fetched);
      if (fetched == 0) break;
      if (fetched > batch.size()) fetched = static_cast<uint32_t>(batch.size());
      for (uint32_t i = 0; i < fetched; ++i) {
        if (!batch[i]) continue;
        const Next next = Member(*batch[i], result);
        if (next == Next::Stop) {
          stoppedStatus = result;
          return kStopped;
        }
        if (next == Next::Batch) break;
      }
    }
    return result;
  }
};

}  // namespace

int32_t ProcessGroup(RunState& state, DirectorySearch* search, AdsGroup* group) {
  if (group == nullptr) return E_POINTER;
  Walker walker{state, search, {}};
  return walker.Walk(*group);
}

}  // namespace agewarden
