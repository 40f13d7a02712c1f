// An in-memory directory for unit tests: a root DSE, objects with attributes,
// subtree searches with the filters the tool sends, WinNT-style groups, and a
// record of every search filter and every commit. Any operation can be told
// to return a chosen status.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "directory/directory.h"

namespace agewarden::testing {

enum class Op { OpenObject, OpenSearch, GetGroup, GetUser, Get, Put, SetInfo, Members, IsMember,
                ExecuteSearch, GetFirstRow, GetNextRow, GetColumn };

using Attributes = std::vector<std::pair<std::string, std::vector<Variant>>>;

struct FakeObject {
  std::string dn;
  Attributes attributes;
};

struct FakeGroup {
  std::string path;
  /// isGroup is ignored: a member is a group when the directory holds one at its path.
  std::vector<GroupMember> members;
  /// The one fault a walk can meet that no status of the interface stands
  /// for: a nested group whose path cannot be read fails its walk, which
  /// decides which members of the enclosing batch are skipped.
  bool pathUnreadable = false;
};

/// One SetInfo that reached the directory: the DN and every Put before it.
struct Commit {
  std::string dn;
  std::vector<std::pair<std::string, Variant>> changes;
};

class FakeDirectory : public Directory {
 public:
  Attributes rootDse;
  std::deque<FakeObject> objects;
  std::deque<FakeGroup> groups;

  FakeObject& AddUser(const std::string& cn, const std::string& parentDn, const std::string& upn,
                      int64_t pwdLastSet, int32_t userAccountControl = 512);
  FakeGroup& AddGroup(const std::string& path) { return groups.emplace_back(FakeGroup{path, {}}); }

  /// Calls of `op` whose key (path, property, column name or filter)
  /// contains `key` return `status`. A success other than S_OK returns with
  /// the object or value left empty.
  void Fail(Op op, HRESULT status, std::string key = "") { rules_.push_back({op, status, std::move(key)}); }

  // What happened.
  int starts = 0;
  int stops = 0;
  std::vector<std::string> filters;
  std::vector<Commit> commits;

  HRESULT Check(Op op, const std::string& key) const;
  FakeObject* FindObject(std::string_view dn);
  FakeGroup* FindGroup(const std::string& path);
  bool IsMemberOf(const FakeGroup& group, const std::string& memberPath, int depth = 0);

  void Start() override { ++starts; }
  void Stop() override { ++stops; }
  HRESULT OpenObject(const std::string& path, std::unique_ptr<AdsObject>& out) override;
  HRESULT OpenSearch(const std::string& path, std::unique_ptr<DirectorySearch>& out) override;
  HRESULT GetGroup(const std::string& path, std::unique_ptr<AdsGroup>& out) override;
  HRESULT GetUser(const std::string& path, std::unique_ptr<AdsObject>& out) override;

 private:
  struct Rule {
    Op op;
    HRESULT status;
    std::string key;
  };
  std::vector<Rule> rules_;
};

/// Ticks since 1601 of a UTC calendar time.
int64_t TicksOf(int year, unsigned month, unsigned day, int hour, int minute, int second);

}  // namespace agewarden::testing
