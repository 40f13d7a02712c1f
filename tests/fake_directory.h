// An in-memory directory for unit tests: a root DSE, objects with attributes,
// subtree searches with a small LDAP filter evaluator, WinNT-style groups,
// and user objects whose commits are recorded. Any single operation can be
// told to fail with a chosen status.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "directory/directory.h"

namespace agewarden::testing {

enum class Op {
  OpenObject, OpenSearch, GetGroup, GetUser,
  Get, Put, SetInfo, GetAdsPath, Members, IsMember,
  SetSearchPreference, ExecuteSearch, GetFirstRow, GetNextRow, GetNextColumnName, GetColumn,
};

using Attributes = std::vector<std::pair<std::string, std::vector<Variant>>>;

struct FakeObject {
  std::string dn;
  Attributes attributes;
  const std::vector<Variant>* Find(const std::string& name) const;
  std::vector<Variant>* Find(const std::string& name);
};

struct FakeMember {
  std::string path;  // WinNT://DOMAIN/name, or any other form
  std::string name;
};

struct FakeGroup {
  std::string path;
  std::string name;
  std::vector<FakeMember> members;
};

/// One SetInfo that reached the directory: the DN and what was put.
struct Commit {
  std::string dn;
  std::vector<std::pair<std::string, Variant>> changes;
};

class FakeDirectory : public Directory {
 public:
  /// Every row of a search also carries the object's attribute names as
  /// stored, not as requested (to test case-sensitive column matching).
  bool reportStoredNames = false;

  // Set-up.
  void SetRootDse(Attributes attributes) { rootDse_.attributes = std::move(attributes); }
  FakeObject& AddObject(const std::string& dn, Attributes attributes);
  /// A user account below `parentDn` with the usual attributes.
  FakeObject& AddUser(const std::string& cn, const std::string& parentDn, const std::string& upn,
                      int64_t pwdLastSet, int32_t userAccountControl = 512);
  FakeGroup& AddGroup(const std::string& path, const std::string& name);
  FakeObject* FindObject(const std::string& dn);

  /// Makes `op` fail with `status` for calls whose key (path, property,
  /// column name or filter, as fits the operation) contains `key` (any call
  /// when empty), after letting `skip` matching calls succeed, `times` times
  /// (-1: for ever).
  void Fail(Op op, HRESULT status, std::string key = "", int skip = 0, int times = -1);

  // What happened.
  int starts = 0;
  int stops = 0;
  std::vector<std::string> filters;
  std::vector<Commit> commits;
  std::vector<std::string> userBinds;

  HRESULT Check(Op op, const std::string& key);

  // Directory.
  void Start() override { ++starts; }
  void Stop() override { ++stops; }
  HRESULT OpenObject(const std::string& path, std::unique_ptr<AdsObject>& out) override;
  HRESULT OpenSearch(const std::string& path, std::unique_ptr<DirectorySearch>& out) override;
  HRESULT GetGroup(const std::string& path, std::unique_ptr<AdsGroup>& out) override;
  HRESULT GetUser(const std::string& path, std::unique_ptr<AdsObject>& out) override;

  std::vector<const FakeObject*> Search(const std::string& baseDn, const std::string& filter, HRESULT& status);
  FakeGroup* FindGroup(const std::string& path);
  bool IsMemberOf(const FakeGroup& group, const std::string& memberPath, int depth = 0);

 private:
  struct Rule {
    Op op;
    HRESULT status;
    std::string key;
    int skip;
    int times;
  };
  std::vector<Rule> rules_;
  FakeObject rootDse_;
  std::vector<std::unique_ptr<FakeObject>> objects_;
  std::vector<std::unique_ptr<FakeGroup>> groups_;
};

/// Ticks since 1601 of a UTC calendar time.
int64_t TicksOf(int year, int month, int day, int hour, int minute, int second);

}  // namespace agewarden::testing
