#include "directory/ldap_group.h"

#include <algorithm>
#include <deque>
#include <unordered_map>
#include <unordered_set>

#include "common/text.h"
#include "directory/ldap_attributes.h"
#include "directory/ldap_dn.h"
#include "directory/ldap_filter.h"
#include "directory/ldap_object.h"
#include "directory/ldap_search_stream.h"
#include "directory/ldap_sid.h"
#include "directory/ldap_status.h"

namespace agewarden::ldap {
namespace {

// LDAP_MATCHING_RULE_IN_CHAIN: matches through every level of nesting.
constexpr std::string_view kInChainRule = "1.2.840.113556.1.4.1941";
// DNs per (|(distinguishedName=...)...) search when members are looked up
// by name.
constexpr size_t kDnsPerLookup = 50;
// The most groups a memberOf walk reads before it gives up.
constexpr size_t kMaxWalkedGroups = 10000;

const std::vector<std::string> kGroupAttributes = {"objectClass", "sAMAccountName", "objectSid", "groupType", "name"};
const std::vector<std::string> kMemberAttributes = {"objectClass", "sAMAccountName", "objectSid"};

std::string WinNtAccountPath(const std::string& domain, const std::string& name) {
  return "WinNT://" + domain + "/" + name;
}

// A member found in the directory.
GroupMember MemberFromEntry(const Entry& entry, const std::string& netbios) {
  GroupMember member;
  const std::string* sam = entry.First("sAMAccountName");
  const std::string* sid = entry.First("objectSid");
  std::optional<std::string> sidText = sid != nullptr ? SidToText(*sid) : std::nullopt;
  if (entry.HasClass("foreignSecurityPrincipal") || (sam == nullptr && sidText)) {
    // A principal of another domain or forest: known here by its SID only.
    if (!sidText) {
      const std::string cn = FirstRdnValue(entry.dn);
      if (SidFromText(cn)) sidText = cn;
    }
    member.name = sidText ? *sidText : FirstRdnValue(entry.dn);
    member.path = "WinNT://" + member.name;
  } else {
    member.name = sam != nullptr ? *sam : FirstRdnValue(entry.dn);
    member.path = WinNtAccountPath(netbios, member.name);
    member.isGroup = entry.HasClass("group");
  }
  return member;
}

// A member DN that no search found (another domain's account, a phantom):
// named as well as its DN allows.
GroupMember MemberFromDn(const std::string& dn, const std::string& netbios, const std::string& defaultNc) {
  GroupMember member;
  const std::string first = FirstRdnValue(dn);
  if (SidFromText(first)) {
    member.name = first;
    member.path = "WinNT://" + first;
    return member;
  }
  std::string domain = netbios;
  if (!DnIsWithin(dn, defaultNc)) {
    // The first label of its DNS domain stands in for the NetBIOS name.
    domain = DomainLabelOfDn(dn);
    if (domain.empty()) domain = netbios;
  }
  member.name = first.empty() ? dn : first;
  member.path = WinNtAccountPath(domain, member.name);
  return member;
}

class LdapGroup : public AdsGroup {
 public:
  LdapGroup(std::shared_ptr<Session> session, std::shared_ptr<ObjectState> state)
      : session_(std::move(session)), state_(std::move(state)) {}

  HRESULT GetAdsPath(std::string& path) override {
    path = state_->path;
    return S_OK;
  }
  HRESULT Get(const std::string& property, Variant& value) override { return GetProperty(*state_, property, value); }
  HRESULT Put(const std::string& property, const Variant& value) override {
    return PutProperty(*state_, property, value);
  }
  HRESULT SetInfo() override { return CommitChanges(*session_, *state_); }
  HRESULT Members(std::vector<GroupMember>& members) override;
  HRESULT IsMember(const std::string& memberPath, int16_t& isMember) override;

 private:
  HRESULT ResolveMembers(const std::vector<std::string>& dns, std::vector<GroupMember>& members);
  HRESULT InChain(const std::string& accountDn, const std::vector<std::string>& memberOf, bool& member);
  HRESULT WalkMemberOf(std::deque<std::string> pending, bool& member);
  HRESULT PrimaryGroupDn(const std::string& domainSid, uint32_t rid, std::string& dn);

  std::shared_ptr<Session> session_;
  std::shared_ptr<ObjectState> state_;
};

std::vector<std::string> Values(const Entry& entry, std::string_view type) {
  const Attribute* attribute = entry.Find(type);
  return attribute != nullptr ? attribute->values : std::vector<std::string>{};
}

// Every entry of a search, each handed to `take` as it arrives.
template <typename Take>
HRESULT ForEachEntry(const std::shared_ptr<Session>& session, const SearchRequest& request, Take take) {
  SearchStream stream(session, request);
  return ForEachEntry(stream, take);
}

HRESULT LdapGroup::ResolveMembers(const std::vector<std::string>& dns, std::vector<GroupMember>& members) {
  const DomainFacts* facts = nullptr;
  HRESULT status = session_->Facts(facts);
  if (Failed(status)) return status;
  const std::string defaultNc = facts->defaultNamingContext;
  std::string netbios;
  status = session_->NetbiosName(netbios);
  if (Failed(status)) return status;

  // Only what the walk needs is kept of each member: its path, name and kind.
  std::unordered_map<std::string, GroupMember> found;  // by lower-case DN
  std::unordered_set<std::string> wanted;
  for (const std::string& dn : dns) wanted.insert(LowerAscii(dn));
  const auto keep = [&](const Entry& entry) {
    std::string key = LowerAscii(entry.dn);
    if (wanted.count(key) > 0) found.emplace(std::move(key), MemberFromEntry(entry, netbios));
  };

  SearchRequest request;
  request.attributes = kMemberAttributes;
  if (!dns.empty()) {
    // The objects the group's `member` values name, in one attribute-scoped
    // query on the group itself (paged like any other search).
    request.base = state_->dn;
    request.scope = LDAP_SCOPE_BASE;
    request.scopedAttribute = "member";
    status = ForEachEntry(session_, request, keep);
    if (Failed(status)) return status;
    request.scopedAttribute.clear();
    // Members of this domain that the query did not give: by DN, a few at a
    // time.
    request.base = defaultNc;
    request.scope = LDAP_SCOPE_SUBTREE;
    std::vector<std::string> missing;
    for (const std::string& dn : dns) {
      if (found.count(LowerAscii(dn)) == 0 && DnIsWithin(dn, defaultNc)) missing.push_back(dn);
    }
    for (size_t start = 0; start < missing.size(); start += kDnsPerLookup) {
      request.filter = "(|";
      for (size_t i = start; i < missing.size() && i < start + kDnsPerLookup; ++i) {
        request.filter += "(distinguishedName=" + EscapeFilterValue(missing[i]) + ")";
      }
      request.filter += ")";
      status = ForEachEntry(session_, request, keep);
      if (Failed(status)) return status;
    }
  }

  std::unordered_set<std::string> listed;
  for (const std::string& dn : dns) {
    std::string key = LowerAscii(dn);
    if (!listed.insert(key).second) continue;
    const auto hit = found.find(key);
    members.push_back(hit != found.end() ? std::move(hit->second) : MemberFromDn(dn, netbios, defaultNc));
  }
  found.clear();

  // The accounts whose primary group this is hold no member link to it.
  const std::string* sid = state_->values.First("objectSid");
  const auto rid = sid != nullptr ? SidRid(*sid) : std::nullopt;
  if (rid) {
    request.base = defaultNc;
    request.scope = LDAP_SCOPE_SUBTREE;
    request.filter = "(primaryGroupID=" + std::to_string(*rid) + ")";
    status = ForEachEntry(session_, request, [&](const Entry& entry) {
      if (listed.count(LowerAscii(entry.dn)) == 0) members.push_back(MemberFromEntry(entry, netbios));
    });
    if (Failed(status)) return status;
  }

  const auto folded = [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte;
  };
  std::stable_sort(members.begin(), members.end(), [&](const GroupMember& a, const GroupMember& b) {
    return std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
                                        [&](char x, char y) { return folded(x) < folded(y); });
  });
  return S_OK;
}

HRESULT LdapGroup::Members(std::vector<GroupMember>& members) {
  members.clear();
  std::vector<std::string> dns;
  HRESULT status = ReadMemberValues(*session_, state_->dn, dns);
  if (Failed(status)) return status;
  return ResolveMembers(dns, members);
}

HRESULT LdapGroup::WalkMemberOf(std::deque<std::string> pending, bool& member) {
  std::unordered_set<std::string> seen;
  while (!pending.empty() && seen.size() < kMaxWalkedGroups) {
    const std::string dn = std::move(pending.front());
    pending.pop_front();
    if (!seen.insert(LowerAscii(dn)).second) continue;
    if (EqualsIgnoreAsciiCase(dn, state_->dn)) {
      member = true;
      return S_OK;
    }
    Entry group;
    const HRESULT status = session_->Read(dn, {"memberOf"}, group);
    if (status == E_ADS_NO_SUCH_OBJECT) continue;  // a group of another partition
    if (Failed(status)) return status;
    for (std::string& next : Values(group, "memberOf")) pending.push_back(std::move(next));
  }
  return S_OK;
}

HRESULT LdapGroup::InChain(const std::string& accountDn, const std::vector<std::string>& memberOf, bool& member) {
  member = false;
  if (session_->Settings().inChainRule) {
    Entry ignored;
    const std::string filter = "(memberOf:" + std::string(kInChainRule) + ":=" + EscapeFilterValue(state_->dn) + ")";
    const HRESULT status = session_->Read(accountDn, {LDAP_NO_ATTRS}, ignored, filter);
    if (Succeeded(status)) {
      member = true;
      return S_OK;
    }
    if (status == E_ADS_NO_SUCH_OBJECT) return S_OK;
    // Only a server that does not know the rule makes the walk below
    // necessary; any other failure is the answer.
    const bool unknownRule = status == E_ADS_INVALID_FILTER || status == E_ADS_INAPPROPRIATE_MATCHING ||
                             status == E_ADS_UNWILLING_TO_PERFORM || status == E_ADS_PROTOCOL_ERROR ||
                             status == E_ADS_OPERATIONS_ERROR;
    if (!unknownRule) return status;
  }
  return WalkMemberOf(std::deque<std::string>(memberOf.begin(), memberOf.end()), member);
}

HRESULT LdapGroup::PrimaryGroupDn(const std::string& domainSid, uint32_t rid, std::string& dn) {
  const DomainFacts* facts = nullptr;
  HRESULT status = session_->Facts(facts);
  if (Failed(status)) return status;
  SearchRequest request;
  request.base = facts->defaultNamingContext;
  request.filter = "(objectSid=" + EscapeFilterBytes(SidWithRid(domainSid, rid)) + ")";
  request.attributes = {LDAP_NO_ATTRS};
  std::vector<Entry> entries;
  status = SearchAll(session_, request, entries);
  if (Failed(status)) return status;
  if (entries.empty()) return E_ADS_NO_SUCH_OBJECT;
  dn = entries.front().dn;
  return S_OK;
}

HRESULT LdapGroup::IsMember(const std::string& memberPath, int16_t& isMember) {
  const auto path = ParseWinNtPath(memberPath);
  if (!path) return E_ADS_BAD_PATHNAME;
  Entry account;
  HRESULT status = FindAccount(session_, *path, {"objectClass", "objectSid", "primaryGroupID", "memberOf"}, account);
  if (Failed(status)) return status;

  // Directly.
  const std::vector<std::string> memberOf = Values(account, "memberOf");
  for (const std::string& dn : memberOf) {
    if (EqualsIgnoreAsciiCase(dn, state_->dn)) {
      isMember = 1;
      return S_OK;
    }
  }

  // By primary group.
  const std::string* groupSid = state_->values.First("objectSid");
  const std::string* accountSid = account.First("objectSid");
  const std::string* primary = account.First("primaryGroupID");
  const auto groupRid = groupSid != nullptr ? SidRid(*groupSid) : std::nullopt;
  const auto groupDomain = groupSid != nullptr ? SidDomainPart(*groupSid) : std::nullopt;
  const auto accountDomain = accountSid != nullptr ? SidDomainPart(*accountSid) : std::nullopt;
  // -1: the account names no primary group.
  int64_t primaryRid = -1;
  if (primary != nullptr) {
    if (const auto parsed = ParseInteger32(*primary)) primaryRid = static_cast<uint32_t>(*parsed);
  }
  if (groupRid && primaryRid >= 0 && groupDomain && accountDomain && *groupDomain == *accountDomain &&
      static_cast<uint32_t>(primaryRid) == *groupRid) {
    isMember = 1;
    return S_OK;
  }

  // Through nested groups.
  bool member = false;
  status = InChain(account.dn, memberOf, member);
  if (Failed(status)) return status;
  if (member) {
    isMember = 1;
    return S_OK;
  }

  // Through the primary group, when that is nested in this one.
  if (primaryRid >= 0 && accountDomain) {
    std::string primaryDn;
    status = PrimaryGroupDn(*accountDomain, static_cast<uint32_t>(primaryRid), primaryDn);
    if (Succeeded(status)) {
      Entry primaryGroup;
      status = session_->Read(primaryDn, {"memberOf"}, primaryGroup);
      if (Succeeded(status)) {
        const std::vector<std::string> primaryMemberOf = Values(primaryGroup, "memberOf");
        for (const std::string& dn : primaryMemberOf) {
          if (EqualsIgnoreAsciiCase(dn, state_->dn)) {
            isMember = 1;
            return S_OK;
          }
        }
        status = InChain(primaryDn, primaryMemberOf, member);
        if (Failed(status)) return status;
        if (member) isMember = 1;
      }
    }
  }
  return S_OK;
}

}  // namespace

HRESULT ReadMemberValues(Session& session, const std::string& groupDn, std::vector<std::string>& members) {
  members.clear();
  const uint64_t step = session.Settings().memberRangeStep > 0 ? static_cast<uint64_t>(session.Settings().memberRangeStep) : 0;
  uint64_t low = 0;
  while (low <= UINT32_MAX) {
    std::string description = "member;range=" + std::to_string(low) + "-";
    description += step > 0 ? std::to_string(std::min<uint64_t>(low + step - 1, UINT32_MAX)) : "*";
    Entry entry;
    // Samba 4.17 returns no entry at all when a ranged attribute comes first
    // in the list, so a plain one leads.
    const HRESULT status = session.Read(groupDn, {"objectClass", description}, entry);
    if (Failed(status)) return status;
    const Attribute* attribute = entry.Find("member");
    if (attribute == nullptr) return S_OK;  // no (further) values
    members.insert(members.end(), attribute->values.begin(), attribute->values.end());
    const auto range = ParseRangedName(attribute->name);
    if (!range || range->last) return S_OK;  // every value, or the last slice
    if (range->high < low || attribute->values.empty()) return E_ADS_PROTOCOL_ERROR;  // no progress
    low = static_cast<uint64_t>(range->high) + 1;
  }
  return S_OK;
}

HRESULT FindAccount(const std::shared_ptr<Session>& session, const WinNtPath& path,
                    const std::vector<std::string>& attributes, Entry& entry) {
  std::string netbios;
  HRESULT status = session->NetbiosName(netbios);
  if (Failed(status)) return status;
  if (!EqualsIgnoreAsciiCase(path.domain, netbios)) return E_ADS_NO_SUCH_OBJECT;
  const DomainFacts* facts = nullptr;
  status = session->Facts(facts);
  if (Failed(status)) return status;
  SearchRequest request;
  request.base = facts->defaultNamingContext;
  request.filter = "(sAMAccountName=" + EscapeFilterValue(path.name) + ")";
  request.attributes = attributes;
  std::vector<Entry> entries;
  status = SearchAll(session, request, entries);
  if (Failed(status)) return status;
  if (entries.empty()) return E_ADS_NO_SUCH_OBJECT;
  entry = std::move(entries.front());
  return S_OK;
}

HRESULT BindGroup(const std::shared_ptr<Session>& session, const std::string& path, std::unique_ptr<AdsGroup>& out) {
  out.reset();
  const auto parsed = ParseWinNtPath(path);
  if (!parsed) return E_ADS_BAD_PATHNAME;
  if (!parsed->className.empty() && !EqualsIgnoreAsciiCase(parsed->className, "group")) return E_NOINTERFACE;
  std::string netbios;
  HRESULT status = session->NetbiosName(netbios);
  if (Failed(status)) return status;
  if (!EqualsIgnoreAsciiCase(parsed->domain, netbios)) return E_ADS_NO_SUCH_OBJECT;

  Entry entry;
  status = FindAccount(session, *parsed, kGroupAttributes, entry);
  if (Failed(status)) return status;
  if (!entry.HasClass("group")) return E_NOINTERFACE;

  auto state = std::make_shared<ObjectState>();
  state->dn = entry.dn;
  const std::string* sam = entry.First("sAMAccountName");
  state->path = WinNtAccountPath(netbios, sam != nullptr ? *sam : parsed->name);
  state->values = std::move(entry);
  out = std::make_unique<LdapGroup>(session, std::move(state));
  return S_OK;
}

}  // namespace agewarden::ldap
