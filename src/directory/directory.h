// The one interface over every directory operation the tool uses. It keeps
// the contracts of the ADSI operations it stands in for: a status for every
// call (negative is failure), end markers for searches, paths in the
// "LDAP://" and "WinNT://" forms. Objects are owned through std::unique_ptr:
// dropping one is its Release; a SearchHandle going away is CloseSearchHandle.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "directory/hresult.h"

namespace agewarden {

/// A property value: empty, a 32-bit integer (userAccountControl), a 64-bit
/// large integer (pwdLastSet) or text.
using Variant = std::variant<std::monostate, int32_t, int64_t, std::string>;

/// One column of a search row: the attribute name as the caller asked for it
/// and its values (large integers as int64_t, everything else as text).
struct Column {
  std::string name;
  std::vector<Variant> values;
};

/// A directory object (IADs). Get reads the values fetched when the object
/// was bound; Put only records a change; SetInfo writes every recorded change
/// at once, all or nothing.
class AdsObject {
 public:
  virtual ~AdsObject() = default;
  virtual HRESULT GetAdsPath(std::string& path) = 0;
  virtual HRESULT Get(const std::string& property, Variant& value) = 0;
  virtual HRESULT Put(const std::string& property, const Variant& value) = 0;
  virtual HRESULT SetInfo() = 0;
};

/// One member of a group: what a walk needs of it.
struct GroupMember {
  /// "WinNT://" + domain + "/" + sAMAccountName, or "WinNT://" + SID text
  /// for a principal of another domain or forest.
  std::string path;
  /// The sAMAccountName (or the SID text).
  std::string name;
  bool isGroup = false;
};

/// A group (IADsGroup).
class AdsGroup : public AdsObject {
 public:
  /// Every member, through `member` and through primaryGroupID, sorted by
  /// name ignoring ASCII case.
  virtual HRESULT Members(std::vector<GroupMember>& members) = 0;
  /// `isMember` is set non-zero when the member path names a member, directly,
  /// through nested groups or by primary group. Callers preset it to 0.
  virtual HRESULT IsMember(const std::string& memberPath, int16_t& isMember) = 0;
};

/// An open search: rows, then the columns of the current row.
/// Destroying it closes the search.
class SearchHandle {
 public:
  virtual ~SearchHandle() = default;
  /// S_OK for a row, S_ADS_NOMORE_ROWS when there is none.
  virtual HRESULT GetFirstRow() = 0;
  virtual HRESULT GetNextRow() = 0;
  /// S_OK with the next column name of the row, S_ADS_NOMORE_COLUMNS at its end.
  virtual HRESULT GetNextColumnName(std::string& name) = 0;
  virtual HRESULT GetColumn(const std::string& name, Column& column) = 0;
};

enum class SearchScope { Subtree };

/// A directory-search object bound to a container (IDirectorySearch). It keeps
/// the scope preference for every later search.
class DirectorySearch {
 public:
  virtual ~DirectorySearch() = default;
  virtual HRESULT SetSearchPreference(SearchScope scope) = 0;
  virtual HRESULT ExecuteSearch(const std::string& filter, const std::vector<std::string>& attributes,
                                std::unique_ptr<SearchHandle>& handle) = 0;
  /// Filters of searches to come, in the order they are expected. Only a
  /// hint: the directory may ask for several at once ahead of time, and every
  /// later search still gives exactly what it would have given without it.
  virtual void ExpectSearches(const std::vector<std::string>& filters) { (void)filters; }
};

/// One session with the directory, as the invoking user; never a name or a
/// password. Start and Stop bracket every other call.
class Directory {
 public:
  virtual ~Directory() = default;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  /// "LDAP://rootDSE" or "LDAP://" + DN, as an object.
  virtual HRESULT OpenObject(const std::string& path, std::unique_ptr<AdsObject>& out) = 0;
  /// "LDAP://" + DN, as a directory-search object on that container.
  virtual HRESULT OpenSearch(const std::string& path, std::unique_ptr<DirectorySearch>& out) = 0;
  /// A group by its path ("WinNT://" + domain + "/" + name). A path that names
  /// no group fails.
  virtual HRESULT GetGroup(const std::string& path, std::unique_ptr<AdsGroup>& out) = 0;
  /// A user by its path ("LDAP://" + DN). A path that names no user fails.
  virtual HRESULT GetUser(const std::string& path, std::unique_ptr<AdsObject>& out) = 0;
  /// The NetBIOS name of the directory's own domain, spelled as the
  /// directory spells it. Binds first when needed.
  virtual HRESULT GetDomainName(std::string& name) = 0;
  /// The sAMAccountName of the account whose credentials the session's bind
  /// used. Binds first when needed.
  virtual HRESULT GetCallerName(std::string& name) = 0;
};

}  // namespace agewarden
