#include "fake_directory.h"

#include "common/text.h"

#include <algorithm>
#include <chrono>

namespace agewarden::testing {
namespace {

// The DN of an "LDAP://" path, without quotes around RDN values.
std::string Unquoted(std::string path) {
  std::erase(path, '"');
  return path.substr(7);
}

class FakeAds : public AdsGroup {
 public:
  FakeAds(FakeDirectory& directory, std::string path, Attributes attributes, FakeGroup* group = nullptr)
      : directory_(directory), path_(std::move(path)), attributes_(std::move(attributes)), group_(group) {}

  HRESULT GetAdsPath(std::string& path) override {
    if (group_ != nullptr && group_->pathUnreadable) return E_FAIL;
    path = path_;
    return S_OK;
  }
  HRESULT Get(const std::string& property, Variant& value) override {
    if (HRESULT s = directory_.Check(Op::Get, property); s != S_OK) return s;
    if (attributes_.count(property) == 0) return E_ADS_PROPERTY_NOT_FOUND;
    value = attributes_.at(property);
    return S_OK;
  }
  HRESULT Put(const std::string& property, const Variant& value) override {
    if (HRESULT s = directory_.Check(Op::Put, property); s != S_OK) return s;
    puts_ += Format(" %s=%d", property, std::get<int32_t>(value));
    return S_OK;
  }
  HRESULT SetInfo() override {
    if (HRESULT s = directory_.Check(Op::SetInfo, path_); s != S_OK) return s;
    directory_.commits += path_.substr(10, path_.find(',') - 10) + ":" + puts_ + ";";
    return S_OK;
  }
  HRESULT Members(std::vector<GroupMember>& members) override {
    if (HRESULT s = directory_.Check(Op::Members, path_); s != S_OK) return s;
    members = group_->members;
    for (GroupMember& member : members) member.isGroup = directory_.groups.count(member.path) != 0;
    return S_OK;
  }
  HRESULT IsMember(const std::string& memberPath, int16_t& isMember) override {
    if (HRESULT s = directory_.Check(Op::IsMember, memberPath); s != S_OK) return s;
    if (std::ranges::count(group_->members, memberPath, &GroupMember::path) != 0) isMember = -1;
    return S_OK;
  }

 private:
  FakeDirectory& directory_;
  std::string path_;
  Attributes attributes_;
  FakeGroup* group_;
  std::string puts_;
};

class FakeHandle : public SearchHandle {
 public:
  FakeHandle(const FakeDirectory& directory, std::vector<Attributes> rows)
      : directory_(directory), rows_(std::move(rows)) {}

  HRESULT GetFirstRow() override { return Enter(0, Op::GetFirstRow); }
  HRESULT GetNextRow() override { return Enter(row_ + 1, Op::GetNextRow); }
  HRESULT GetNextColumnName(std::string& name) override {
    if (column_ >= rows_[row_].size()) return S_ADS_NOMORE_COLUMNS;
    name = std::next(rows_[row_].begin(), column_++)->first;
    return S_OK;
  }
  HRESULT GetColumn(const std::string& name, Column& column) override {
    if (HRESULT s = directory_.Check(Op::GetColumn, name); s != S_OK) return s;
    column = {name, {rows_[row_].at(name)}};
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
  std::vector<Attributes> rows_;
  size_t row_ = 0;
  size_t column_ = 0;
};

// Every user below the base, or the one whose userPrincipalName the filter
// names; a "(" or ")" in that name makes the filter invalid.
class FakeSearch : public DirectorySearch {
 public:
  FakeSearch(FakeDirectory& directory, std::string base) : directory_(directory), base_(std::move(base)) {}
  HRESULT SetSearchPreference(SearchScope) override { return S_OK; }
  HRESULT ExecuteSearch(const std::string& filter, const std::vector<std::string>& attributes,
                        std::unique_ptr<SearchHandle>& handle) override {
    directory_.filters.push_back(filter);
    if (HRESULT s = directory_.Check(Op::ExecuteSearch, filter); s != S_OK) return s;
    const size_t at = filter.find("(userPrincipalName=");
    const std::string upn = at == std::string::npos ? "" : filter.substr(at + 19, filter.size() - at - 21);
    if (upn.find_first_of("()") != std::string::npos) return E_ADS_INVALID_FILTER;
    std::vector<Attributes> rows;
    for (const auto& [dn, object] : directory_.objects) {
      const auto named = object.find("userPrincipalName");
      if (object.empty() || !dn.ends_with(base_) ||
          (!upn.empty() && (named == object.end() || named->second != Variant{upn}))) {
        continue;
      }
      Attributes& row = rows.emplace_back();  // the requested attributes the object holds
      for (const auto& [name, value] : object) {
        if (std::ranges::count(attributes, name) != 0) row[name] = value;
      }
    }
    handle = std::make_unique<FakeHandle>(directory_, std::move(rows));
    return S_OK;
  }

 private:
  FakeDirectory& directory_;
  std::string base_;
};

}  // namespace

void FakeDirectory::AddUser(const std::string& cn, const std::string& parentDn, const std::string& upn,
                            int64_t pwdLastSet, int32_t userAccountControl) {
  const std::string dn = "CN=" + cn + "," + parentDn;
  Attributes attributes = {{"name", cn}, {"distinguishedName", dn}, {"pwdLastSet", pwdLastSet},
                           {"userAccountControl", userAccountControl}};
  if (!upn.empty()) attributes["userPrincipalName"] = upn;
  objects[Unquoted("LDAP://" + dn)] = std::move(attributes);
}

HRESULT FakeDirectory::Check(Op op, const std::string& key) const {
  for (const auto& [ruleOp, status, ruleKey] : rules_) {
    if (ruleOp == op && key.find(ruleKey) != std::string::npos) return status;
  }
  return S_OK;
}

HRESULT FakeDirectory::OpenObject(const std::string& path, std::unique_ptr<AdsObject>& out) {
  if (HRESULT s = Check(Op::OpenObject, path); s != S_OK) return s;
  out = std::make_unique<FakeAds>(*this, path, Attributes{{"defaultNamingContext", namingContext}});
  return S_OK;
}

HRESULT FakeDirectory::OpenSearch(const std::string& path, std::unique_ptr<DirectorySearch>& out) {
  if (HRESULT s = Check(Op::OpenSearch, path); s != S_OK) return s;
  if (objects.count(Unquoted(path)) == 0) return E_ADS_NO_SUCH_OBJECT;
  out = std::make_unique<FakeSearch>(*this, Unquoted(path));
  return S_OK;
}

HRESULT FakeDirectory::GetGroup(const std::string& path, std::unique_ptr<AdsGroup>& out) {
  if (HRESULT s = Check(Op::GetGroup, path); s != S_OK) return s;
  for (auto& [groupPath, group] : groups) {
    if (!EqualsIgnoreAsciiCase(groupPath, path)) continue;
    out = std::make_unique<FakeAds>(*this, groupPath, Attributes{}, &group);
    return S_OK;
  }
  return E_ADS_NO_SUCH_OBJECT;
}

HRESULT FakeDirectory::GetDomainName(std::string& name) {
  if (HRESULT s = Check(Op::GetDomainName, ""); s != S_OK) return s;
  name = domainName;
  return S_OK;
}

HRESULT FakeDirectory::GetCallerName(std::string& name) {
  if (HRESULT s = Check(Op::GetCallerName, ""); s != S_OK) return s;
  name = callerName;
  return S_OK;
}

HRESULT FakeDirectory::GetUser(const std::string& path, std::unique_ptr<AdsObject>& out) {
  if (HRESULT s = Check(Op::GetUser, path); s != S_OK) return s;
  if (objects.count(Unquoted(path)) == 0) return E_ADS_NO_SUCH_OBJECT;
  out = std::make_unique<FakeAds>(*this, path, objects[Unquoted(path)]);
  return S_OK;
}

int64_t TicksOf(int year, unsigned month, unsigned day, int hour, int minute, int second) {
  using namespace std::chrono;
  const auto since1601 = sys_days{std::chrono::year{year} / month / day} - sys_days{1601y / January / 1} +
                         hours{hour} + minutes{minute} + seconds{second};
  return duration_cast<seconds>(since1601).count() * kTicksPerSecond;
}

}  // namespace agewarden::testing
