#include "fake_directory.h"

#include <algorithm>
#include <cctype>

#include "common/filetime.h"
#include "common/text.h"

namespace agewarden::testing {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

// DNs compare without the quotes that may surround an RDN value.
std::string Canonical(std::string_view dn) {
  std::string out;
  for (const char c : dn) {
    if (c != '"') out += AsciiLower(c);
  }
  return out;
}

bool SameDn(std::string_view a, std::string_view b) { return Canonical(a) == Canonical(b); }

bool EndsWithIgnoreCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && EqualsIgnoreAsciiCase(text.substr(text.size() - suffix.size()), suffix);
}

std::string AsText(const Variant& value) {
  if (const auto* s = std::get_if<std::string>(&value)) return *s;
  if (const auto* i = std::get_if<int32_t>(&value)) return std::to_string(*i);
  if (const auto* l = std::get_if<int64_t>(&value)) return std::to_string(*l);
  return {};
}

// A parsed filter: (&..), (|..), (!..), (attr=value) with "*" wildcards.
struct Filter {
  char kind = '=';  // '&', '|', '!', '=', 'p' (presence)
  std::string attribute;
  std::vector<std::string> pieces;  // value split at "*", unescaped
  std::vector<Filter> children;
};

class FilterParser {
 public:
  explicit FilterParser(std::string_view text) : text_(text) {}

  bool Parse(Filter& out) {
    if (!Item(out)) return false;
    return pos_ == text_.size();
  }

 private:
  bool Item(Filter& out) {
    if (pos_ >= text_.size() || text_[pos_] != '(') return false;
    ++pos_;
    if (pos_ >= text_.size()) return false;
    const char c = text_[pos_];
    if (c == '&' || c == '|' || c == '!') {
      out.kind = c;
      ++pos_;
      while (pos_ < text_.size() && text_[pos_] == '(') {
        out.children.emplace_back();
        if (!Item(out.children.back())) return false;
      }
      if (out.children.empty() || (c == '!' && out.children.size() != 1)) return false;
    } else {
      const size_t close = text_.find(')', pos_);
      if (close == std::string_view::npos) return false;
      const std::string_view body = text_.substr(pos_, close - pos_);
      const size_t equals = body.find('=');
      if (equals == std::string_view::npos || equals == 0) return false;
      out.attribute = std::string(body.substr(0, equals));
      for (const char a : out.attribute) {
        if (!std::isalnum(static_cast<unsigned char>(a)) && a != '-' && a != ';' && a != '.') return false;
      }
      const std::string_view value = body.substr(equals + 1);
      if (value.find('(') != std::string_view::npos) return false;
      if (value == "*") {
        out.kind = 'p';
      } else {
        out.kind = '=';
        std::string piece;
        for (size_t i = 0; i < value.size(); ++i) {
          if (value[i] == '*') {
            out.pieces.push_back(piece);
            piece.clear();
          } else if (value[i] == '\\') {
            if (i + 2 >= value.size() || !std::isxdigit(static_cast<unsigned char>(value[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(value[i + 2]))) {
              return false;
            }
            piece += static_cast<char>(std::stoi(std::string(value.substr(i + 1, 2)), nullptr, 16));
            i += 2;
          } else {
            piece += value[i];
          }
        }
        out.pieces.push_back(piece);
      }
      pos_ = close;
    }
    if (pos_ >= text_.size() || text_[pos_] != ')') return false;
    ++pos_;
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

bool MatchesPieces(const std::string& value, const std::vector<std::string>& pieces) {
  const std::string v = Lower(value);
  if (pieces.size() == 1) return v == Lower(pieces[0]);
  size_t at = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::string p = Lower(pieces[i]);
    if (i == 0) {
      if (v.compare(0, p.size(), p) != 0) return false;
      at = p.size();
    } else if (i + 1 == pieces.size()) {
      return v.size() >= at + p.size() && v.compare(v.size() - p.size(), p.size(), p) == 0;
    } else {
      const size_t found = v.find(p, at);
      if (found == std::string::npos) return false;
      at = found + p.size();
    }
  }
  return true;
}

bool Evaluate(const Filter& f, const FakeObject& object) {
  switch (f.kind) {
    case '&':
      return std::all_of(f.children.begin(), f.children.end(), [&](const Filter& c) { return Evaluate(c, object); });
    case '|':
      return std::any_of(f.children.begin(), f.children.end(), [&](const Filter& c) { return Evaluate(c, object); });
    case '!':
      return !Evaluate(f.children[0], object);
    case 'p':
      return object.Find(f.attribute) != nullptr;
    default: {
      const auto* values = object.Find(f.attribute);
      if (values == nullptr) return false;
      return std::any_of(values->begin(), values->end(),
                         [&](const Variant& v) { return MatchesPieces(AsText(v), f.pieces); });
    }
  }
}

class FakeAds : public AdsObject {
 public:
  FakeAds(FakeDirectory& directory, std::string path, std::string name, FakeObject* object)
      : directory_(directory), path_(std::move(path)), name_(std::move(name)), object_(object) {}

  HRESULT GetAdsPath(std::string& path) override {
    if (HRESULT s = directory_.Check(Op::GetAdsPath, path_); Failed(s)) return s;
    path = path_;
    return S_OK;
  }
  HRESULT Get(const std::string& property, Variant& value) override {
    if (HRESULT s = directory_.Check(Op::Get, property); Failed(s)) return s;
    const auto* values = object_ ? object_->Find(property) : nullptr;
    if (values == nullptr || values->empty()) return E_ADS_PROPERTY_NOT_FOUND;
    value = values->front();
    return S_OK;
  }
  HRESULT Put(const std::string& property, const Variant& value) override {
    if (HRESULT s = directory_.Check(Op::Put, property); Failed(s)) return s;
    puts_.emplace_back(property, value);
    return S_OK;
  }
  HRESULT SetInfo() override {
    if (HRESULT s = directory_.Check(Op::SetInfo, path_); Failed(s)) return s;
    if (puts_.empty()) return S_OK;
    for (const auto& [property, value] : puts_) {
      if (auto* values = object_->Find(property)) {
        *values = {value};
      } else {
        object_->attributes.push_back({property, {value}});
      }
    }
    directory_.commits.push_back({object_->dn, puts_});
    puts_.clear();
    return S_OK;
  }

 private:
  FakeDirectory& directory_;
  std::string path_;
  std::string name_;
  FakeObject* object_;
  std::vector<std::pair<std::string, Variant>> puts_;
};

class FakeGroupObject : public AdsGroup {
 public:
  FakeGroupObject(FakeDirectory& directory, FakeGroup& group)
      : directory_(directory), group_(group), ads_(directory, group.path, group.name, nullptr) {}
  HRESULT GetAdsPath(std::string& path) override { return ads_.GetAdsPath(path); }
  HRESULT Get(const std::string& property, Variant& value) override { return ads_.Get(property, value); }
  HRESULT Put(const std::string& property, const Variant& value) override { return ads_.Put(property, value); }
  HRESULT SetInfo() override { return ads_.SetInfo(); }
  HRESULT Members(std::vector<GroupMember>& members) override {
    members.clear();
    if (HRESULT s = directory_.Check(Op::Members, group_.path); Failed(s)) return s;
    for (const FakeMember& member : group_.members) {
      members.push_back({member.path, member.name, directory_.FindGroup(member.path) != nullptr});
    }
    return S_OK;
  }
  HRESULT IsMember(const std::string& memberPath, int16_t& isMember) override {
    if (HRESULT s = directory_.Check(Op::IsMember, memberPath); Failed(s)) return s;
    isMember = directory_.IsMemberOf(group_, memberPath) ? -1 : 0;
    return S_OK;
  }

 private:
  FakeDirectory& directory_;
  FakeGroup& group_;
  FakeAds ads_;
};

class FakeHandle : public SearchHandle {
 public:
  FakeHandle(FakeDirectory& directory, std::vector<const FakeObject*> rows, std::vector<std::string> attributes)
      : directory_(directory), rows_(std::move(rows)), attributes_(std::move(attributes)) {}

  HRESULT GetFirstRow() override {
    if (HRESULT s = directory_.Check(Op::GetFirstRow, ""); Failed(s)) return s;
    row_ = 0;
    return Enter();
  }
  HRESULT GetNextRow() override {
    if (HRESULT s = directory_.Check(Op::GetNextRow, ""); Failed(s)) return s;
    ++row_;
    return Enter();
  }
  HRESULT GetNextColumnName(std::string& name) override {
    if (HRESULT s = directory_.Check(Op::GetNextColumnName, ""); Failed(s)) return s;
    if (column_ >= columns_.size()) return S_ADS_NOMORE_COLUMNS;
    name = columns_[column_++].name;
    return S_OK;
  }
  HRESULT GetColumn(const std::string& name, Column& column) override {
    if (HRESULT s = directory_.Check(Op::GetColumn, name); Failed(s)) return s;
    for (const Column& c : columns_) {
      if (c.name == name) {
        column = c;
        return S_OK;
      }
    }
    return E_ADS_PROPERTY_NOT_FOUND;
  }

 private:
  HRESULT Enter() {
    columns_.clear();
    column_ = 0;
    if (row_ >= rows_.size()) return S_ADS_NOMORE_ROWS;
    for (const auto& [stored, values] : rows_[row_]->attributes) {
      for (const std::string& asked : attributes_) {
        if (EqualsIgnoreAsciiCase(stored, asked)) {
          columns_.push_back({directory_.reportStoredNames ? stored : asked, values});
        }
      }
    }
    return S_OK;
  }

  FakeDirectory& directory_;
  std::vector<const FakeObject*> rows_;
  std::vector<std::string> attributes_;
  size_t row_ = 0;
  std::vector<Column> columns_;
  size_t column_ = 0;
};

class FakeSearch : public DirectorySearch {
 public:
  FakeSearch(FakeDirectory& directory, std::string baseDn) : directory_(directory), baseDn_(std::move(baseDn)) {}
  HRESULT SetSearchPreference(SearchScope scope) override {
    if (HRESULT s = directory_.Check(Op::SetSearchPreference, ""); Failed(s)) return s;
    scope_ = scope;
    return S_OK;
  }
  HRESULT ExecuteSearch(const std::string& filter, const std::vector<std::string>& attributes,
                        std::unique_ptr<SearchHandle>& handle) override {
    directory_.filters.push_back(filter);
    if (HRESULT s = directory_.Check(Op::ExecuteSearch, filter); Failed(s)) return s;
    HRESULT status = S_OK;
    auto rows = directory_.Search(baseDn_, filter, status);
    if (Failed(status)) return status;
    handle = std::make_unique<FakeHandle>(directory_, std::move(rows), attributes);
    return S_OK;
  }

 private:
  FakeDirectory& directory_;
  std::string baseDn_;
  SearchScope scope_ = SearchScope::Subtree;
};

}  // namespace

const std::vector<Variant>* FakeObject::Find(const std::string& name) const {
  for (const auto& [stored, values] : attributes) {
    if (EqualsIgnoreAsciiCase(stored, name)) return &values;
  }
  return nullptr;
}

std::vector<Variant>* FakeObject::Find(const std::string& name) {
  return const_cast<std::vector<Variant>*>(static_cast<const FakeObject*>(this)->Find(name));
}

FakeObject& FakeDirectory::AddObject(const std::string& dn, Attributes attributes) {
  objects_.push_back(std::make_unique<FakeObject>(FakeObject{dn, std::move(attributes)}));
  return *objects_.back();
}

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
  return AddObject(dn, std::move(attributes));
}

FakeGroup& FakeDirectory::AddGroup(const std::string& path, const std::string& name) {
  groups_.push_back(std::make_unique<FakeGroup>(FakeGroup{path, name, {}}));
  return *groups_.back();
}

FakeObject* FakeDirectory::FindObject(const std::string& dn) {
  for (auto& object : objects_) {
    if (SameDn(object->dn, dn)) return object.get();
  }
  return nullptr;
}

FakeGroup* FakeDirectory::FindGroup(const std::string& path) {
  for (auto& group : groups_) {
    if (EqualsIgnoreAsciiCase(group->path, path)) return group.get();
  }
  return nullptr;
}

bool FakeDirectory::IsMemberOf(const FakeGroup& group, const std::string& memberPath, int depth) {
  if (depth > 32) return false;
  for (const FakeMember& member : group.members) {
    if (EqualsIgnoreAsciiCase(member.path, memberPath)) return true;
    if (const FakeGroup* nested = FindGroup(member.path)) {
      if (IsMemberOf(*nested, memberPath, depth + 1)) return true;
    }
  }
  return false;
}

void FakeDirectory::Fail(Op op, HRESULT status, std::string key, int skip, int times) {
  rules_.push_back({op, status, std::move(key), skip, times});
}

HRESULT FakeDirectory::Check(Op op, const std::string& key) {
  for (Rule& rule : rules_) {
    if (rule.op != op || rule.times == 0) continue;
    if (!rule.key.empty() && key.find(rule.key) == std::string::npos) continue;
    if (rule.skip > 0) {
      --rule.skip;
      continue;
    }
    if (rule.times > 0) --rule.times;
    return rule.status;
  }
  return S_OK;
}

HRESULT FakeDirectory::OpenObject(const std::string& path, std::unique_ptr<AdsObject>& out) {
  if (HRESULT s = Check(Op::OpenObject, path); Failed(s)) return s;
  if (path == "LDAP://rootDSE") {
    out = std::make_unique<FakeAds>(*this, path, "rootDSE", &rootDse_);
    return S_OK;
  }
  if (path.rfind("LDAP://", 0) != 0) return E_ADS_BAD_PATHNAME;
  FakeObject* object = FindObject(path.substr(7));
  if (object == nullptr) return E_ADS_NO_SUCH_OBJECT;
  out = std::make_unique<FakeAds>(*this, path, object->dn, object);
  return S_OK;
}

HRESULT FakeDirectory::OpenSearch(const std::string& path, std::unique_ptr<DirectorySearch>& out) {
  if (HRESULT s = Check(Op::OpenSearch, path); Failed(s)) return s;
  if (path.rfind("LDAP://", 0) != 0) return E_ADS_BAD_PATHNAME;
  const std::string dn = path.substr(7);
  if (FindObject(dn) == nullptr) return E_ADS_NO_SUCH_OBJECT;
  out = std::make_unique<FakeSearch>(*this, dn);
  return S_OK;
}

HRESULT FakeDirectory::GetGroup(const std::string& path, std::unique_ptr<AdsGroup>& out) {
  if (HRESULT s = Check(Op::GetGroup, path); Failed(s)) return s;
  FakeGroup* group = FindGroup(path);
  if (group == nullptr) return E_ADS_NO_SUCH_OBJECT;
  out = std::make_unique<FakeGroupObject>(*this, *group);
  return S_OK;
}

HRESULT FakeDirectory::GetUser(const std::string& path, std::unique_ptr<AdsObject>& out) {
  userBinds.push_back(path);
  if (HRESULT s = Check(Op::GetUser, path); Failed(s)) return s;
  if (path.rfind("LDAP://", 0) != 0) return E_ADS_BAD_PATHNAME;
  FakeObject* object = FindObject(path.substr(7));
  if (object == nullptr) return E_ADS_NO_SUCH_OBJECT;
  out = std::make_unique<FakeAds>(*this, path, object->dn, object);
  return S_OK;
}

std::vector<const FakeObject*> FakeDirectory::Search(const std::string& baseDn, const std::string& filter,
                                                      HRESULT& status) {
  Filter parsed;
  if (!FilterParser(filter).Parse(parsed)) {
    status = E_ADS_INVALID_FILTER;
    return {};
  }
  std::vector<const FakeObject*> rows;
  for (const auto& object : objects_) {
    if ((SameDn(object->dn, baseDn) || EndsWithIgnoreCase(Canonical(object->dn), "," + Canonical(baseDn))) &&
        Evaluate(parsed, *object)) {
      rows.push_back(object.get());
    }
  }
  status = S_OK;
  return rows;
}

int64_t TicksOf(int year, int month, int day, int hour, int minute, int second) {
  // Days from 1970-01-01 (H. Hinnant's days_from_civil).
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yoe = year - era * 400;
  const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = era * 146097 + doe - 719468;
  const int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
  return (seconds + kEpochDifferenceSeconds) * kTicksPerSecond;
}

}  // namespace agewarden::testing
