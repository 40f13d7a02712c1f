#include "fake_directory.h"

#include <algorithm>
#include <chrono>

#include "common/text.h"

namespace agewarden::testing {
namespace {

std::string Unquoted(std::string dn) {
  std::erase(dn, '"');
  return dn;
}

class FakeGroupObject : public Group {
 public:
  FakeGroupObject(FakeDirectory& directory, const std::string& name)
      : directory_(directory), identity_{directory.domainName, name, true, name} {}
  const Principal& Identity() const override { return identity_; }
  HRESULT Members(std::vector<Principal>& members) override {
    if (HRESULT s = directory_.Check(Op::Members, identity_.name); s != S_OK) return s;
    members = directory_.groups[identity_.name];
    return S_OK;
  }
  HRESULT HasMember(const std::string& domain, const std::string& accountName, bool& member) override {
    if (HRESULT s = directory_.Check(Op::HasMember, accountName); s != S_OK) return s;
    member = EqualsIgnoreAsciiCase(domain, directory_.domainName) &&
             std::ranges::count(directory_.groups[identity_.name], accountName, &Principal::name) != 0;
    return S_OK;
  }

 private:
  FakeDirectory& directory_;
  Principal identity_;
};

class FakeUserAccount : public UserAccount {
 public:
  FakeUserAccount(FakeDirectory& directory, std::string dn, int32_t control)
      : directory_(directory), dn_(std::move(dn)), control_(control) {}
  HRESULT GetUserAccountControl(int32_t& value) const override {
    if (HRESULT s = directory_.Check(Op::GetUserAccountControl, dn_); s != S_OK) return s;
    value = control_;
    return S_OK;
  }
  HRESULT ForceChange(int32_t control) override {
    if (HRESULT s = directory_.Check(Op::ForceChange, dn_); s != S_OK) return s;
    directory_.commits += Format("%s: pwdLastSet=0 userAccountControl=%d;", dn_.substr(3, dn_.find(',') - 3), control);
    return S_OK;
  }

 private:
  FakeDirectory& directory_;
  std::string dn_;
  int32_t control_;
};

class FakeCursor : public AccountCursor {
 public:
  FakeCursor(const FakeDirectory& directory, std::vector<Account> rows) : directory_(directory), rows_(std::move(rows)) {}
  HRESULT Next(Account& account) override {
    if (HRESULT s = directory_.Check(next_ == 0 ? Op::FirstRow : Op::NextRow, ""); s != S_OK) return s;
    if (next_ == rows_.size()) return S_ADS_NOMORE_ROWS;
    account = rows_[next_++];
    return S_OK;
  }

 private:
  const FakeDirectory& directory_;
  std::vector<Account> rows_;
  size_t next_ = 0;
};

// Every user below the base, or the one whose userPrincipalName the filter
// names; a "(" or ")" in that name makes the filter invalid.
class FakeSearch : public AccountSearch {
 public:
  FakeSearch(const FakeDirectory& directory, std::string base) : directory_(directory), base_(std::move(base)) {}
  HRESULT Search(const std::string& filter, std::unique_ptr<AccountCursor>& out) override {
    if (HRESULT s = directory_.Check(Op::Search, filter); s != S_OK) return s;
    const size_t at = filter.find("(userPrincipalName=");
    const std::string upn = at == std::string::npos ? "" : filter.substr(at + 19, filter.size() - at - 21);
    if (upn.find_first_of("()") != std::string::npos) return E_ADS_INVALID_FILTER;
    std::vector<Account> rows;
    for (const auto& [dn, user] : directory_.objects) {
      if (user && dn.ends_with(base_) && (upn.empty() || user->upn == upn))
        rows.push_back({user->name, dn, user->upn, user->pwdLastSet});
    }
    out = std::make_unique<FakeCursor>(directory_, std::move(rows));
    return S_OK;
  }

 private:
  const FakeDirectory& directory_;
  std::string base_;
};

}  // namespace

void FakeDirectory::AddUser(const std::string& cn, const std::string& parentDn, const std::string& upn,
                            int64_t pwdLastSet, int32_t userAccountControl) {
  objects[Unquoted("CN=" + cn + "," + parentDn)] = FakeUser{cn, upn, pwdLastSet, userAccountControl};
}

HRESULT FakeDirectory::Check(Op op, const std::string& key) const {
  for (const auto& [ruleOp, status, ruleKey] : rules_) {
    if (ruleOp == op && key.find(ruleKey) != std::string::npos) return status;
  }
  return S_OK;
}

HRESULT FakeDirectory::OpenContainer(const std::string& dn, std::unique_ptr<AccountSearch>& out) {
  if (HRESULT s = Check(Op::OpenContainer, dn); s != S_OK) return s;
  if (objects.count(Unquoted(dn)) == 0) return E_ADS_NO_SUCH_OBJECT;
  out = std::make_unique<FakeSearch>(*this, Unquoted(dn));
  return S_OK;
}

HRESULT FakeDirectory::OpenGroup(const std::string& domain, const std::string& name, std::unique_ptr<Group>& out) {
  if (HRESULT s = Check(Op::OpenGroup, name); s != S_OK) return s;
  const auto found = std::ranges::find_if(groups, [&](const auto& g) { return EqualsIgnoreAsciiCase(g.first, name); });
  if (!EqualsIgnoreAsciiCase(domain, domainName) || found == groups.end()) return E_ADS_NO_SUCH_OBJECT;
  out = std::make_unique<FakeGroupObject>(*this, found->first);
  return S_OK;
}

HRESULT FakeDirectory::OpenGroup(const Principal& member, std::unique_ptr<Group>& out) {
  if (HRESULT s = Check(Op::OpenGroup, member.reference); s != S_OK) return s;
  if (!member.isGroup || groups.count(member.reference) == 0) return E_NOINTERFACE;
  out = std::make_unique<FakeGroupObject>(*this, member.reference);
  return S_OK;
}

HRESULT FakeDirectory::OpenUser(const std::string& dn, std::unique_ptr<UserAccount>& out) {
  if (HRESULT s = Check(Op::OpenUser, dn); s != S_OK) return s;
  const auto found = objects.find(Unquoted(dn));
  if (found == objects.end() || !found->second) return E_ADS_NO_SUCH_OBJECT;
  out = std::make_unique<FakeUserAccount>(*this, found->first, found->second->userAccountControl);
  return S_OK;
}

int64_t TicksOf(int year, unsigned month, unsigned day, int hour, int minute, int second) {
  using namespace std::chrono;
  const auto since1601 = sys_days{std::chrono::year{year} / month / day} - sys_days{1601y / January / 1} +
                         hours{hour} + minutes{minute} + seconds{second};
  return duration_cast<seconds>(since1601).count() * kTicksPerSecond;
}

}  // namespace agewarden::testing
