#include "fake_server.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <optional>
#include <set>

#include "common/text.h"
#include "directory/backend/attributes.h"
#include "directory/backend/dn.h"
#include "directory/backend/sid.h"
#include "directory/platform/dn_split.h"
#include "directory/platform/status.h"

namespace agewarden::testing {
namespace {

using ldap::SearchMessage;
using Kind = SearchMessage::Kind;
using Op = ldap::Modification::Op;

// The LDAP result codes the server answers with.
constexpr int kNoSuchAttribute = 16, kValueExists = 20, kNoSuchObject = 32;

bool SameDn(std::string_view a, std::string_view b) { return ldap::DnIsWithin(a, b) && ldap::DnIsWithin(b, a); }
size_t Depth(std::string_view dn) { return ldap::SplitDn(dn).value_or(std::vector<ldap::DnRdn>{}).size(); }

// Whether `value` is "parts[0]*parts[1]*...", ASCII case ignored.
bool Matches(std::string_view value, const std::vector<std::string>& parts) {
  const std::string text = LowerAscii(value);
  size_t at = 0;
  for (size_t i = 0; i < parts.size() && at != std::string::npos; ++i) {
    const size_t found = text.find(LowerAscii(parts[i]), at);
    at = found == std::string::npos || (i == 0 && found != 0) ? std::string::npos : found + parts[i].size();
  }
  return at != std::string::npos && (parts.back().empty() || text.ends_with(LowerAscii(parts.back())));
}

}  // namespace

class FakeConnection : public ldap::Connection {
 public:
  explicit FakeConnection(FakeServer& server) : server_(server) { ++server_.open; }
  ~FakeConnection() override {
    --server_.open;
    server_.inFlight_ -= static_cast<int>(pending_.size());
  }

  HRESULT Search(const ldap::SearchRequest& request, const ldap::PageRequest* page, int& msgid, bool& lost) override {
    if (lost_) return lost = true, E_ADS_SERVER_DOWN;
    std::string text = "search " + request.base + " " + "BOS"[static_cast<int>(request.scope)] + " " + request.filter + " [";
    for (const std::string& attribute : request.attributes) text += (text.back() == '[' ? "" : ",") + attribute;
    text += "]" + std::string(page != nullptr ? " page" : "") +
            (request.scopedAttribute.empty() ? "" : " asq=" + request.scopedAttribute);
    server_.requests.push_back(text);
    const FakeServer::Rule* rule = server_.Match(text);
    if (rule != nullptr && rule->fault == FakeServer::Fault::Refuse) return rule->value;
    size_t at = 0;
    if (!Holds(request.filter, at, nullptr) || at != request.filter.size()) return E_ADS_INVALID_FILTER;

    std::deque<Answer>& answers = Answers(text, rule, msgid);
    int& code = answers.back().message.code;
    if (rule != nullptr && rule->fault == FakeServer::Fault::Result) return S_OK;
    const Entry* base = server_.Find(request.base);
    if (base == nullptr) return code = kNoSuchObject, S_OK;
    const std::vector<const Entry*> found = Select(*base, request);
    const size_t first = page != nullptr && !page->cookie.empty() ? std::stoul(page->cookie) : 0;
    size_t last = page != nullptr ? std::min(found.size(), first + static_cast<size_t>(page->size)) : found.size();
    if (page == nullptr && server_.sizeLimit > 0 && last > server_.sizeLimit) {
      last = server_.sizeLimit;
      code = ldap::kResultSizeLimitExceeded;
    }
    if (page != nullptr && last < found.size()) answers.back().message.cookie = std::to_string(last);
    for (size_t i = last; i-- > first;) {
      answers.push_front({text, {Kind::Entry, Returned(*found[i], request), ldap::kResultSuccess, ""}, S_OK});
    }
    if (rule != nullptr) {  // lost or silent after `value` entries
      answers.erase(answers.begin() + std::min<long>(rule->value, static_cast<long>(answers.size()) - 1), answers.end() - 1);
    }
    return S_OK;
  }

  HRESULT Receive(int msgid, SearchMessage& message, bool wait) override {
    message = SearchMessage{};
    const auto found = pending_.find(msgid);
    if (lost_) return E_ADS_SERVER_DOWN;
    if (found == pending_.end()) return E_ADS_TIMEOUT;  // nothing will come
    const Answer& next = found->second.front();
    if (!wait && (next.status == E_ADS_TIMEOUT || (server_.arrived && !server_.arrived(next.request)))) return S_FALSE;
    Answer answer = std::move(found->second.front());
    found->second.pop_front();
    if (server_.beforeAnswer) server_.beforeAnswer(answer.request);
    if (found->second.empty() || Failed(answer.status)) {
      pending_.erase(found);
      --server_.inFlight_;
    }
    lost_ = answer.status == E_ADS_SERVER_DOWN;
    message = std::move(answer.message);
    // A write takes effect when it is answered: the latest a server may.
    if (!answer.mods.empty() && answer.status == S_OK && message.code == ldap::kResultSuccess) {
      message.code = Write(answer.request.substr(7), answer.mods);
    }
    return answer.status;
  }

  void Abandon(int msgid) override {
    if (pending_.erase(msgid) > 0) --server_.inFlight_;
  }

  HRESULT Modify(const std::string& dn, const std::vector<ldap::Modification>& mods, int& msgid, bool& lost) override {
    if (lost_) return lost = true, E_ADS_SERVER_DOWN;
    server_.requests.push_back("modify " + dn);
    const FakeServer::Rule* rule = server_.Match(server_.requests.back());
    if (rule != nullptr && rule->fault == FakeServer::Fault::Refuse) return rule->value;
    Answers(server_.requests.back(), rule, msgid).back().mods = mods;
    return S_OK;
  }

  // A modify applied whole or not at all: its result code.
  int Write(const std::string& dn, const std::vector<ldap::Modification>& mods) {
    Entry* entry = server_.Find(dn);
    if (entry == nullptr) return kNoSuchObject;
    Entry changed = *entry;
    for (const ldap::Modification& mod : mods) {
      if (const int code = Apply(changed, mod); code != ldap::kResultSuccess) return code;
    }
    std::string written;
    for (const ldap::Modification& mod : mods) {
      if (written.find(" " + mod.attribute + "=") != std::string::npos) continue;
      written += " " + mod.attribute + "=";
      for (const std::string& value : Values(changed, mod.attribute)) written += value + ",";
      if (written.back() == ',') written.pop_back();
    }
    *entry = std::move(changed);
    server_.writes += ldap::FirstRdnValue(dn) + ":" + written + ";";
    return ldap::kResultSuccess;
  }

  std::string BoundPrincipal() override { return server_.principal; }

 private:
  struct Answer {
    std::string request;
    SearchMessage message;
    HRESULT status;
    std::vector<ldap::Modification> mods = {};  // a modify's, applied when answered
  };

  // The answers of a new request: its result, or the rule's failure (a
  // result code, or the connection lost or silent after `value` entries,
  // which the caller puts before it).
  std::deque<Answer>& Answers(const std::string& text, const FakeServer::Rule* rule, int& msgid) {
    server_.maxInFlight = std::max(server_.maxInFlight, ++server_.inFlight_);
    std::deque<Answer>& answers = pending_[msgid = ++lastId_];
    answers.push_back({text, {Kind::Result, {}, rule ? rule->value : ldap::kResultSuccess, ""}, S_OK});
    if (rule != nullptr && rule->fault != FakeServer::Fault::Result) {
      answers.back() = {text, {}, rule->fault == FakeServer::Fault::Lose ? E_ADS_SERVER_DOWN : E_ADS_TIMEOUT};
    }
    return answers;
  }

  // The values the server holds for `type`, computed ones included.
  std::vector<std::string> Values(const Entry& entry, std::string_view type) {
    if (EqualsIgnoreAsciiCase(type, "distinguishedName")) return {entry.dn};
    if (EqualsIgnoreAsciiCase(type, "objectGUID")) {
      std::string guid(16, '\0');
      const size_t hash = std::hash<std::string>{}(LowerAscii(entry.dn));
      std::memcpy(guid.data(), &hash, sizeof hash);
      return {guid};
    }
    if (EqualsIgnoreAsciiCase(type, "tokenGroups")) return server_.tokenGroups ? TokenGroups(entry) : std::vector<std::string>{};
    const Attribute* attribute = entry.Find(type);
    if (attribute == nullptr && EqualsIgnoreAsciiCase(type, "objectClass")) return {"top"};  // every entry has one
    return attribute ? attribute->values : std::vector<std::string>{};
  }

  // The SIDs of every group the account is in by `member`, nested.
  std::vector<std::string> TokenGroups(const Entry& account) {
    std::set<std::string> within = {LowerAscii(account.dn)};
    std::vector<std::string> sids;
    for (size_t before = 0; before != within.size();) {
      before = within.size();
      for (const Entry& group : server_.entries) {
        const Attribute* members = group.Find("member");
        const std::string* sid = group.First("objectSid");
        const bool byMember = members && std::ranges::any_of(members->values, [&](const std::string& m) {
          return within.count(LowerAscii(m)) > 0;
        });
        if (sid && byMember && within.insert(LowerAscii(group.dn)).second) sids.push_back(*sid);
      }
    }
    return sids;
  }

  // Whether the filter at text[at...] holds for `entry` (false for none: the
  // text is only read); nothing when it is no filter. '&', '|' and items
  // "a=v", the value unescaped and split at each '*'.
  std::optional<bool> Holds(std::string_view text, size_t& at, const Entry* entry) {
    if (at >= text.size() || text[at] != '(') return std::nullopt;
    bool holds = false;
    if (++at < text.size() && (text[at] == '&' || text[at] == '|')) {
      const bool all = text[at++] == '&';
      for (holds = all; at < text.size() && text[at] == '(';) {
        const std::optional<bool> term = Holds(text, at, entry);
        if (!term) return std::nullopt;
        holds = all ? holds && *term : holds || *term;
      }
    } else {
      const size_t equals = text.find('=', at);
      if (equals == std::string_view::npos) return std::nullopt;
      const std::string_view attribute = text.substr(at, equals - at);
      if (attribute.find_first_of("()") != std::string_view::npos) return std::nullopt;
      std::vector<std::string> parts(1);
      for (at = equals + 1; at < text.size() && text[at] != ')'; ++at) {
        if (text[at] == '(' || text[at] == '\0') return std::nullopt;
        if (text[at] == '*') {
          parts.emplace_back();
        } else if (text[at] != '\\') {
          parts.back() += text[at];
        } else if (at + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[at + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[at + 2]))) {
          parts.back() += static_cast<char>(std::stoi(std::string(text.substr(at + 1, 2)), nullptr, 16));
          at += 2;
        } else {
          return std::nullopt;
        }
      }
      holds = entry != nullptr && std::ranges::any_of(Values(*entry, attribute), [&](const std::string& value) {
        if (parts.size() > 1) return Matches(value, parts);
        return EqualsIgnoreAsciiCase(value, parts[0]) || (server_.alsoEqual && server_.alsoEqual(value, parts[0]));
      });
    }
    if (at >= text.size() || text[at] != ')') return std::nullopt;
    ++at;
    return holds;
  }

  // The entries in the request's scope that the filter holds for.
  std::vector<const Entry*> Select(const Entry& base, const ldap::SearchRequest& request) {
    std::vector<const Entry*> scope, found;
    if (!request.scopedAttribute.empty()) {
      for (const std::string& dn : Values(base, request.scopedAttribute)) {
        if (const Entry* named = server_.Find(dn)) scope.push_back(named);
      }
    } else if (request.scope == ldap::Scope::Base) {
      scope = {&base};
    } else {
      for (const Entry& entry : server_.entries) {
        const bool below = !request.base.empty() && ldap::DnIsWithin(entry.dn, request.base);
        if (below && (request.scope == ldap::Scope::Subtree || Depth(entry.dn) == Depth(request.base) + 1)) {
          scope.push_back(&entry);
        }
      }
    }
    std::ranges::copy_if(scope, std::back_inserter(found), [&](const Entry* entry) {
      size_t at = 0;
      return *Holds(request.filter, at, entry);
    });
    return found;
  }

  // The entry as the request asks for it: the attributes it names (none for
  // "1.1", all stored ones when it names none), and `member;range=` slices.
  Entry Returned(const Entry& entry, const ldap::SearchRequest& request) {
    Entry out{entry.dn, {}};
    if (request.attributes.empty()) out.attributes = entry.attributes;
    for (const std::string& asked : request.attributes) {
      const std::string_view type = ldap::AttributeType(asked);
      std::vector<std::string> values = Values(entry, type);
      if (values.empty() || asked == ldap::kNoAttributes) continue;
      const auto range = ldap::ParseRangedName(asked);
      if (!range) {
        out.attributes.push_back({entry.Find(type) ? entry.Find(type)->name : std::string(type), std::move(values)});
        continue;
      }
      size_t end = range->last ? values.size() : std::min<size_t>(values.size(), range->high + size_t{1});
      if (server_.rangeStep > 0) end = std::min(end, range->low + server_.rangeStep);
      const size_t low = std::min<size_t>(range->low, end);
      const std::string high = end == values.size() ? "*" : std::to_string(end - 1);
      out.attributes.push_back({range->attribute + ";range=" + std::to_string(range->low) + "-" + high,
                                {values.begin() + static_cast<long>(low), values.begin() + static_cast<long>(end)}});
    }
    return out;
  }

  // One change of a modify (the backend deletes and adds values it names): a
  // result code, kResultSuccess when it applies.
  static int Apply(Entry& entry, const ldap::Modification& mod) {
    auto found = std::ranges::find_if(entry.attributes, [&](const Attribute& a) {
      return EqualsIgnoreAsciiCase(a.name, mod.attribute);
    });
    if (found == entry.attributes.end()) found = entry.attributes.insert(found, {mod.attribute, {}});
    std::vector<std::string>& values = found->values;
    if (mod.op == Op::Replace) values = mod.values;
    for (const std::string& value : mod.values) {
      const auto at = std::ranges::find_if(values, [&](const std::string& v) { return EqualsIgnoreAsciiCase(v, value); });
      if (mod.op == Op::Delete && at == values.end()) return kNoSuchAttribute;
      if (mod.op == Op::Delete) values.erase(at);
      if (mod.op == Op::Add && at != values.end()) return kValueExists;
      if (mod.op == Op::Add) values.push_back(value);
    }
    if (values.empty()) entry.attributes.erase(found);
    return ldap::kResultSuccess;
  }

  FakeServer& server_;
  std::map<int, std::deque<Answer>> pending_;
  int lastId_ = 0;
  bool lost_ = false;
};

Entry* FakeServer::Find(std::string_view dn) {
  const auto found = std::ranges::find_if(entries, [&](const Entry& e) { return SameDn(e.dn, dn); });
  return found == entries.end() ? nullptr : &*found;
}

const FakeServer::Rule* FakeServer::Match(const std::string& request) {
  for (Rule& rule : rules_) {
    if (request.find(rule.match) == std::string::npos) continue;
    if (rule.nth == 0 || ++rule.seen == rule.nth) return &rule;
  }
  return nullptr;
}

ldap::ConnectionFactory FakeServer::Factory() {
  return [this](std::unique_ptr<ldap::Connection>& out) {
    ++connections;
    if (Failed(bindStatus)) return bindStatus;
    out = std::make_unique<FakeConnection>(*this);
    return S_OK;
  };
}

}  // namespace agewarden::testing
