#include "fake_directory.h"

#include <algorithm>
#include <chrono>

#include "common/filetime.h"
#include "common/text.h"

namespace agewarden::testing {
namespace {

// DNs compare without regard to ASCII case or to quotes around RDN values.
bool SameDn(std::string_view a, std::string_view b) {
  const auto strip = [](std::string_view dn) {
    std::string out;
    for (const char c : dn) {
      if (c != '"') out += c;
    }
    return out;
  };
  return EqualsIgnoreAsciiCase(strip(a), strip(b));
}

// At or below the base DN.
bool Within(std::string_view dn, std::string_view base) {
  for (size_t i = 0; i < dn.size(); ++i) {
    if ((i == 0 || dn[i - 1] == ',') && SameDn(dn.substr(i), base)) return true;
  }
  return false;
}

// A filter value with "*" wildcards against a text value, ignoring ASCII case.
bool Matches(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) return text.empty();
  if (pattern[0] == '*') return Matches(pattern.substr(1), text) || (!text.empty() && Matches(pattern, text.substr(1)));
  return !text.empty() && EqualsIgnoreAsciiCase(pattern.substr(0, 1), text.substr(0, 1)) &&
         Matches(pattern.substr(1), text.substr(1));
}

const std::vector<Variant>* Find(const Attributes& attributes, const std::string& name) {
  for (const auto& [stored, values] : attributes) {
    if (EqualsIgnoreAsciiCase(stored, name)) return &values;
  }
  return nullptr;
}

// The filters the tool sends: "(&" and clauses "(attribute=value)" and ")".
// False, as a server's "invalid filter", for anything else.
bool ParseFilter(std::string_view filter, std::vector<std::pair<std::string, std::string>>& clauses) {
  if (filter.substr(0, 2) != "(&" || filter.back() != ')') return false;
  filter = filter.substr(2, filter.size() - 3);
  while (!filter.empty()) {
    const size_t close = filter.find(')');
    if (filter[0] != '(' || close == std::string_view::npos) return false;
    const std::string_view body = filter.substr(1, close - 1);
    const size_t equals = body.find('=');
    if (equals == 0 || equals == std::string_view::npos || body.find('(') != std::string_view::npos) return false;
    clauses.emplace_back(body.substr(0, equals), body.substr(equals + 1));
    filter.remove_prefix(close + 1);
  }
  return true;
}

class FakeAds : public AdsGroup {
 public:
  FakeAds(FakeDirectory& directory, std::string path, const Attributes* attributes, FakeGroup* group = nullptr)
      : directory_(directory), path_(std::move(path)), attributes_(attributes), group_(group) {}

  HRESULT GetAdsPath(std::string& path) override {
    if (group_ != nullptr && group_->pathUnreadable) return E_FAIL;
    path = path_;
    return S_OK;
  }
  HRESULT Get(const std::string& property, Variant& value) override {
    if (HRESULT s = directory_.Check(Op::Get, property); s != S_OK) return s;
    const auto* values = attributes_ ? Find(*attributes_, property) : nullptr;
    if (values == nullptr || values->empty()) return E_ADS_PROPERTY_NOT_FOUND;
    value = values->front();
    return S_OK;
  }
  HRESULT Put(const std::string& property, const Variant& value) override {
    if (HRESULT s = directory_.Check(Op::Put, property); s != S_OK) return s;
    puts_.emplace_back(property, value);
    return S_OK;
  }
  HRESULT SetInfo() override {
    if (HRESULT s = directory_.Check(Op::SetInfo, path_); s != S_OK) return s;
    directory_.commits.push_back({path_.substr(7), std::move(puts_)});
    puts_.clear();
    return S_OK;
  }
  HRESULT Members(std::vector<GroupMember>& members) override {
    if (HRESULT s = directory_.Check(Op::Members, path_); s != S_OK) return s;
    members = group_->members;
    for (GroupMember& member : members) member.isGroup = directory_.FindGroup(member.path) != nullptr;
    return S_OK;
  }
  HRESULT IsMember(const std::string& memberPath, int16_t& isMember) override {
    if (HRESULT s = directory_.Check(Op::IsMember, memberPath); s != S_OK) return s;
    isMember = directory_.IsMemberOf(*group_, memberPath) ? -1 : 0;
    return S_OK;
  }

 private:
  FakeDirectory& directory_;
  std::string path_;
  const Attributes* attributes_;
  FakeGroup* group_;
  std::vector<std::pair<std::string, Variant>> puts_;
};

class FakeHandle : public SearchHandle {
 public:
  FakeHandle(const FakeDirectory& directory, std::vector<std::vector<Column>> rows)
      : directory_(directory), rows_(std::move(rows)) {}

  HRESULT GetFirstRow() override { return Enter(0, Op::GetFirstRow); }
  HRESULT GetNextRow() override { return Enter(row_ + 1, Op::GetNextRow); }
  HRESULT GetNextColumnName(std::string& name) override {
    if (column_ >= rows_[row_].size()) return S_ADS_NOMORE_COLUMNS;
    name = rows_[row_][column_++].name;
    return S_OK;
  }
  HRESULT GetColumn(const std::string& name, Column& column) override {
    if (HRESULT s = directory_.Check(Op::GetColumn, name); s != S_OK) return s;
    for (const Column& c : rows_[row_]) {
      if (c.name == name) column = c;
    }
    return S_OK;
  }

 private:
  HRESULT Enter(size_t row, Op op) {
    if (HRESULT s = directory_.Check(op, ""); s != S_OK) return s;
    row_ = row;
    column_ = 0;
    return row_ < rows_.size() ? S_OK : S_ADS_NOMORE_ROWS;
  }

  const FakeDirectory& directory_;
  std::vector<std::vector<Column>> rows_;
  size_t row_ = 0;
  size_t column_ = 0;
};

class FakeSearch : public DirectorySearch {
 public:
  FakeSearch(FakeDirectory& directory, std::string baseDn) : directory_(directory), baseDn_(std::move(baseDn)) {}
  HRESULT SetSearchPreference(SearchScope) override { return S_OK; }
  HRESULT ExecuteSearch(const std::string& filter, const std::vector<std::string>& attributes,
                        std::unique_ptr<SearchHandle>& handle) override {
    directory_.filters.push_back(filter);
    if (HRESULT s = directory_.Check(Op::ExecuteSearch, filter); s != S_OK) return s;
    std::vector<std::pair<std::string, std::string>> clauses;
    if (!ParseFilter(filter, clauses)) return E_ADS_INVALID_FILTER;
    std::vector<std::vector<Column>> rows;
    for (const FakeObject& object : directory_.objects) {
      const auto holds = [&](const std::pair<std::string, std::string>& clause) {
        const auto* values = Find(object.attributes, clause.first);
        for (const Variant& v : values ? *values : std::vector<Variant>{}) {
          if (const auto* text = std::get_if<std::string>(&v); text && Matches(clause.second, *text)) return true;
        }
        return false;
      };
      if (!Within(object.dn, baseDn_) || !std::all_of(clauses.begin(), clauses.end(), holds)) continue;
      // The requested attributes the object holds, named as stored.
      std::vector<Column>& row = rows.emplace_back();
      for (const auto& [stored, values] : object.attributes) {
        for (const std::string& asked : attributes) {
          if (EqualsIgnoreAsciiCase(stored, asked)) row.push_back({stored, values});
        }
      }
    }
    handle = std::make_unique<FakeHandle>(directory_, std::move(rows));
    return S_OK;
  }

 private:
  FakeDirectory& directory_;
  std::string baseDn_;
};

}  // namespace

FakeObject& FakeDirectory::AddUser(const std::string& cn, const std::string& parentDn, const std::string& upn,
                                   int64_t pwdLastSet, int32_t userAccountControl) {
  const std::string dn = "CN=" + cn + "," + parentDn;
  Attributes attributes = {
      {"objectClass", {std::string("top"), std::string("person"), std::string("user")}},
      {"objectCategory", {std::string("person")}},
      {"name", {cn}},
      {"distinguishedName", {dn}},
      {"pwdLastSet", {pwdLastSet}},
      {"userAccountControl", {userAccountControl}},
  };
  if (!upn.empty()) attributes.push_back({"userPrincipalName", {upn}});
  return objects.emplace_back(FakeObject{dn, std::move(attributes)});
}

FakeObject* FakeDirectory::FindObject(std::string_view dn) {
  for (FakeObject& object : objects) {
    if (SameDn(object.dn, dn)) return &object;
  }
  return nullptr;
}

FakeGroup* FakeDirectory::FindGroup(const std::string& path) {
  for (FakeGroup& group : groups) {
    if (EqualsIgnoreAsciiCase(group.path, path)) return &group;
  }
  return nullptr;
}

bool FakeDirectory::IsMemberOf(const FakeGroup& group, const std::string& memberPath, int depth) {
  for (const GroupMember& member : group.members) {
    if (EqualsIgnoreAsciiCase(member.path, memberPath)) return true;
    const FakeGroup* nested = FindGroup(member.path);
    if (nested != nullptr && depth < 32 && IsMemberOf(*nested, memberPath, depth + 1)) return true;
  }
  return false;
}

HRESULT FakeDirectory::Check(Op op, const std::string& key) const {
  for (const Rule& rule : rules_) {
    if (rule.op == op && key.find(rule.key) != std::string::npos) return rule.status;
  }
  return S_OK;
}

HRESULT FakeDirectory::OpenObject(const std::string& path, std::unique_ptr<AdsObject>& out) {
  if (HRESULT s = Check(Op::OpenObject, path); s != S_OK) return s;
  if (path != "LDAP://rootDSE") return E_ADS_BAD_PATHNAME;
  out = std::make_unique<FakeAds>(*this, path, &rootDse);
  return S_OK;
}

HRESULT FakeDirectory::OpenSearch(const std::string& path, std::unique_ptr<DirectorySearch>& out) {
  if (HRESULT s = Check(Op::OpenSearch, path); s != S_OK) return s;
  if (FindObject(path.substr(7)) == nullptr) return E_ADS_NO_SUCH_OBJECT;
  out = std::make_unique<FakeSearch>(*this, path.substr(7));
  return S_OK;
}

HRESULT FakeDirectory::GetGroup(const std::string& path, std::unique_ptr<AdsGroup>& out) {
  if (HRESULT s = Check(Op::GetGroup, path); s != S_OK) return s;
  FakeGroup* group = FindGroup(path);
  if (group == nullptr) return E_ADS_NO_SUCH_OBJECT;
  out = std::make_unique<FakeAds>(*this, group->path, nullptr, group);
  return S_OK;
}

HRESULT FakeDirectory::GetUser(const std::string& path, std::unique_ptr<AdsObject>& out) {
  if (HRESULT s = Check(Op::GetUser, path); s != S_OK) return s;
  FakeObject* object = FindObject(path.substr(7));
  if (object == nullptr) return E_ADS_NO_SUCH_OBJECT;
  out = std::make_unique<FakeAds>(*this, "LDAP://" + object->dn, &object->attributes);
  return S_OK;
}

int64_t TicksOf(int year, unsigned month, unsigned day, int hour, int minute, int second) {
  using namespace std::chrono;
  const auto since1601 = sys_days{std::chrono::year{year} / std::chrono::month{month} / std::chrono::day{day}} -
                         sys_days{std::chrono::year{1601} / January / 1} + hours{hour} + minutes{minute} +
                         seconds{second};
  return duration_cast<seconds>(since1601).count() * kTicksPerSecond;
}

}  // namespace agewarden::testing
