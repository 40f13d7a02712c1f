#include "directory/backend/group.h"

#include <algorithm>
#include <deque>
#include <unordered_map>

#include "common/text.h"
#include "directory/backend/attributes.h"
#include "directory/backend/dn.h"
#include "directory/backend/filter.h"
#include "directory/backend/search_stream.h"
#include "directory/backend/sid.h"
#include "directory/platform/status.h"

namespace agewarden::ldap {
namespace {

// DNs per (|(distinguishedName=...)...) search when members are looked up
// by name.
constexpr size_t kDnsPerLookup = 50;
const std::vector<std::string> kGroupAttributes = {"objectClass", "sAMAccountName", "objectSid", "groupType", "name"};
const std::vector<std::string> kMemberAttributes = {"objectClass", "sAMAccountName", "objectSid"};

using SharedName = std::shared_ptr<const std::string>;

// The domain names of one group's members, each held once and shared.
class DomainNames {
 public:
  SharedName Of(const std::string& name) {
    for (const SharedName& known : names_) {
      if (*known == name) return known;
    }
    return names_.emplace_back(std::make_shared<const std::string>(name));
  }

 private:
  std::vector<SharedName> names_;
};

// A member found in the directory.
Principal MemberFromEntry(const Entry& entry, const SharedName& netbios) {
  Principal member;
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
  } else {
    member.name = sam != nullptr ? *sam : FirstRdnValue(entry.dn);
    member.domain = netbios;
    if (entry.HasClass("group")) member.reference = std::make_unique<const std::string>(entry.dn);
  }
  return member;
}

// A member DN that no search found (another domain's account, a phantom):
// named as well as its DN allows.
Principal MemberFromDn(const std::string& dn, DomainNames& domains, const std::string& netbios,
                       const std::string& defaultNc) {
  Principal member;
  const std::string first = FirstRdnValue(dn);
  if (SidFromText(first)) {
    member.name = first;
    return member;
  }
  std::string domain = netbios;
  if (!DnIsWithin(dn, defaultNc)) {
    // The first label of its DNS domain stands in for the NetBIOS name.
    domain = DomainLabelOfDn(dn);
    if (domain.empty()) domain = netbios;
  }
  member.name = first.empty() ? dn : first;
  member.domain = domains.Of(domain);
  return member;
}

// `members` in the order `order` gives (the index of the member that goes
// first, then of the one that follows, ...), moved in place.
void Permute(std::deque<Principal>& members, std::vector<size_t>& order) {
  for (size_t start = 0; start < order.size(); ++start) {
    if (order[start] == start) continue;
    // Each cycle of the permutation: every place takes the member it wants,
    // the last one the member first moved out.
    Principal first = std::move(members[start]);
    size_t place = start;
    while (order[place] != start) {
      const size_t from = order[place];
      members[place] = std::move(members[from]);
      order[place] = place;
      place = from;
    }
    members[place] = std::move(first);
    order[place] = place;
  }
}

class LdapGroup : public Group {
 public:
  LdapGroup(std::shared_ptr<Domain> domain, Entry entry, Principal identity)
      : domain_(std::move(domain)), session_(domain_->session()), entry_(std::move(entry)),
        identity_(std::move(identity)) {}

  const Principal& Identity() const override { return identity_; }
  HRESULT Members(std::deque<Principal>& members) override;
  HRESULT HasMember(const std::string& domain, const std::string& accountName, bool& member) override;

 private:
  HRESULT ResolveMembers(std::vector<std::string> dns, std::deque<Principal>& members);

  std::shared_ptr<Domain> domain_;
  std::shared_ptr<Session> session_;
  Entry entry_;  // as read at the bind: its DN and objectSid
  Principal identity_;
};

// Every entry of a search, each handed to `take` as it arrives.
template <typename Take>
HRESULT ForEachEntry(const std::shared_ptr<Session>& session, const SearchRequest& request, Take take) {
  SearchStream stream(session, request);
  return ForEachEntry(stream, take);
}

HRESULT LdapGroup::ResolveMembers(std::vector<std::string> dns, std::deque<Principal>& members) {
  const DomainFacts* facts = nullptr;
  HRESULT status = domain_->Facts(facts);
  if (Failed(status)) return status;
  const std::string defaultNc = facts->defaultNamingContext;
  std::string netbios;
  status = domain_->NetbiosName(netbios);
  if (Failed(status)) return status;
  DomainNames domains;
  const SharedName ownDomain = domains.Of(netbios);

  // Every member as it is found, in `members`: the listed ones first, in the
  // order the group lists them, then the ones by primary group.
  SearchRequest request;
  request.attributes = kMemberAttributes;
  {
    // The place in `members` of each listed DN, by its lower-case form; a DN
    // listed twice counts once.
    std::unordered_map<std::string, size_t> places;
    size_t unique = 0;
    for (size_t i = 0; i < dns.size(); ++i) {
      if (!places.emplace(LowerAscii(dns[i]), unique).second) continue;
      if (unique != i) dns[unique] = std::move(dns[i]);
      ++unique;
    }
    dns.resize(unique);
    members.resize(unique);
    std::vector<bool> named(unique, false);
    const auto keep = [&](const Entry& entry) {
      const auto place = places.find(LowerAscii(entry.dn));
      if (place == places.end() || named[place->second]) return;
      members[place->second] = MemberFromEntry(entry, ownDomain);
      named[place->second] = true;
    };

    if (!dns.empty()) {
      // The objects the group's `member` values name, in one attribute-scoped
      // query on the group itself (paged like any other search).
      request.base = entry_.dn;
      request.scope = Scope::Base;
      request.scopedAttribute = "member";
      status = ForEachEntry(session_, request, keep);
      if (Failed(status)) return status;
      request.scopedAttribute.clear();
      // Members of this domain that the query did not give: by DN, a few at a
      // time.
      request.base = defaultNc;
      request.scope = Scope::Subtree;
      std::vector<const std::string*> missing;
      for (size_t i = 0; i < dns.size(); ++i) {
        if (!named[i] && DnIsWithin(dns[i], defaultNc)) missing.push_back(&dns[i]);
      }
      for (size_t start = 0; start < missing.size(); start += kDnsPerLookup) {
        request.filter = "(|";
        for (size_t i = start; i < missing.size() && i < start + kDnsPerLookup; ++i) {
          request.filter += "(distinguishedName=" + EscapeFilterValue(*missing[i]) + ")";
        }
        request.filter += ")";
        status = ForEachEntry(session_, request, keep);
        if (Failed(status)) return status;
      }
      for (size_t i = 0; i < dns.size(); ++i) {
        if (!named[i]) members[i] = MemberFromDn(dns[i], domains, netbios, defaultNc);
      }
    }
    std::vector<std::string>().swap(dns);

    // The accounts whose primary group this is hold no member link to it.
    const std::string* sid = entry_.First("objectSid");
    const auto rid = sid != nullptr ? SidRid(*sid) : std::nullopt;
    if (rid) {
      request.base = defaultNc;
      request.scope = Scope::Subtree;
      request.filter = "(primaryGroupID=" + std::to_string(*rid) + ")";
      status = ForEachEntry(session_, request, [&](const Entry& entry) {
        if (places.count(LowerAscii(entry.dn)) == 0) members.push_back(MemberFromEntry(entry, ownDomain));
      });
      if (Failed(status)) return status;
    }
  }

  // Sorted by name ignoring ASCII case, those with the same name in the order
  // found: the sort moves indexes, not members, which would want room for
  // half of them again.
  const auto folded = [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte;
  };
  std::vector<size_t> order(members.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const std::string& x = members[a].name;
    const std::string& y = members[b].name;
    return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(),
                                        [&](char p, char q) { return folded(p) < folded(q); });
  });
  Permute(members, order);
  return S_OK;
}

HRESULT LdapGroup::Members(std::deque<Principal>& members) {
  members.clear();
  std::vector<std::string> dns;
  const HRESULT status = ReadMemberValues(session_, entry_.dn, dns);
  if (Failed(status)) return status;
  return ResolveMembers(std::move(dns), members);
}

HRESULT LdapGroup::HasMember(const std::string& domain, const std::string& accountName, bool& member) {
  member = false;
  Entry account;
  HRESULT status = domain_->FindAccount(domain, accountName, {kNoAttributes}, account);
  if (Failed(status)) return status;
  // The DC computes every group the account belongs to, nested and primary
  // ones included: the SIDs of its constructed tokenGroups (a base read).
  Entry token;
  status = ReadEntry(session_, account.dn, {"tokenGroups"}, token);
  if (Failed(status)) return status;
  const std::string* sid = entry_.First("objectSid");
  const Attribute* groups = token.Find("tokenGroups");
  if (sid == nullptr || groups == nullptr) return E_ADS_PROPERTY_NOT_FOUND;
  member = std::find(groups->values.begin(), groups->values.end(), *sid) != groups->values.end();
  return S_OK;
}

HRESULT OpenGroup(const std::shared_ptr<Domain>& domain, Entry entry, std::unique_ptr<Group>& out) {
  if (!entry.HasClass("group")) return E_NOINTERFACE;
  std::string netbios;
  const HRESULT status = domain->NetbiosName(netbios);
  if (Failed(status)) return status;
  Principal identity;
  const std::string* sam = entry.First("sAMAccountName");
  identity.name = sam != nullptr ? *sam : FirstRdnValue(entry.dn);
  identity.domain = std::make_shared<const std::string>(netbios);
  identity.reference = std::make_unique<const std::string>(entry.dn);
  out = std::make_unique<LdapGroup>(domain, std::move(entry), std::move(identity));
  return S_OK;
}

}  // namespace

HRESULT ReadMemberValues(const std::shared_ptr<Session>& session, const std::string& groupDn,
                         std::vector<std::string>& members) {
  members.clear();
  const int configured = session->Settings().memberRangeStep;
  const uint64_t step = configured > 0 ? static_cast<uint64_t>(configured) : 0;
  uint64_t low = 0;
  while (low <= UINT32_MAX) {
    std::string description = "member;range=" + std::to_string(low) + "-";
    description += step > 0 ? std::to_string(std::min<uint64_t>(low + step - 1, UINT32_MAX)) : "*";
    Entry entry;
    // Samba 4.17 returns no entry at all when a ranged attribute comes first
    // in the list, so a plain one leads.
    const HRESULT status = ReadEntry(session, groupDn, {"objectClass", description}, entry);
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

HRESULT OpenGroupByName(const std::shared_ptr<Domain>& domain, const std::string& domainName, const std::string& name,
                        std::unique_ptr<Group>& out) {
  out.reset();
  Entry entry;
  const HRESULT status = domain->FindAccount(domainName, name, kGroupAttributes, entry);
  if (Failed(status)) return status;
  return OpenGroup(domain, std::move(entry), out);
}

HRESULT OpenGroupByDn(const std::shared_ptr<Domain>& domain, const std::string& dn, std::unique_ptr<Group>& out) {
  out.reset();
  Entry entry;
  const HRESULT status = ReadEntry(domain->session(), dn, kGroupAttributes, entry);
  if (Failed(status)) return status;
  return OpenGroup(domain, std::move(entry), out);
}

}  // namespace agewarden::ldap
