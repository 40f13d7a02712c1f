// What the tool asks of a directory, in its own terms: the domain's naming
// context and names, the user accounts below a container, a group's members,
// whether an account belongs to a group, and the forced password change of
// one account. Every call gives a status (an HRESULT, negative is failure),
// since the tool prints the ones that fail. Objects are owned through
// std::unique_ptr; dropping one releases it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "directory/hresult.h"

namespace agewarden {

class UserAccount;

/// The values of one account that the report uses.
struct Account {
  std::string name;
  std::string distinguishedName;
  std::string userPrincipalName;  ///< empty when it has none
  /// pwdLastSet; nothing when the account has none, or none that reads as a
  /// number.
  std::optional<int64_t> pwdLastSet;
  /// The account bound for the forced password change, from the values its
  /// row returned; only from a search opened for changes, and nothing when
  /// the row is not of a user.
  std::unique_ptr<UserAccount> user;
};

/// The accounts of one search, as they arrive.
class AccountCursor {
 public:
  virtual ~AccountCursor() = default;
  /// S_OK with the next account, S_ADS_NOMORE_ROWS after the last one, or
  /// the failure that ended the search (also after some accounts).
  virtual HRESULT Next(Account& account) = 0;
};

/// What every account search asks, besides its clause: user accounts of
/// persons.
inline constexpr std::string_view kAccountConditions = "(objectClass=user)(objectCategory=person)";
/// The filter of an account search: kAccountConditions and `clause`.
std::string AccountFilter(std::string_view clause);
/// The clause that picks one account by userPrincipalName. The value goes in
/// as it is: "*" is a wildcard, and a parenthesis makes the filter invalid.
std::string UpnClause(std::string_view upn);

/// The subtree below one container, where every account search of a run
/// starts.
class AccountSearch {
 public:
  virtual ~AccountSearch() = default;
  /// The accounts that `filter` (exactly the text given, sent as it is)
  /// matches below the container.
  virtual HRESULT Search(const std::string& filter, std::unique_ptr<AccountCursor>& out) = 0;
  /// The UPNs whose searches (AccountFilter(UpnClause(upn))) come next, in
  /// order. Only a hint: the directory may ask for many at once, and every
  /// later search still gives exactly what it would have given without it.
  virtual void ExpectUpns(const std::vector<std::string>& upns) { (void)upns; }
};

/// A member of a group, or the group itself, as a walk sees it. A walk holds
/// every member of a group at once (hundreds of thousands in a large
/// domain's Domain Users), so each holds only what the walk uses: its name,
/// its domain's name shared with the other principals of that domain, and a
/// reference for a group alone.
struct Principal {
  /// sAMAccountName, or the SID text.
  std::string name;
  /// NetBIOS name of its domain; null for a principal known only by its SID.
  std::shared_ptr<const std::string> domain;
  /// A group's own reference in the directory, for opening it; null for
  /// anything else, since only groups are opened.
  std::unique_ptr<const std::string> reference;

  bool IsGroup() const { return reference != nullptr; }
  /// The name of its domain, empty when it has none.
  const std::string& DomainName() const {
    static const std::string none;
    return domain ? *domain : none;
  }
};

class Group {
 public:
  virtual ~Group() = default;
  /// The group, named as the directory names it.
  virtual const Principal& Identity() const = 0;
  /// Every member, through `member` and through primaryGroupID, sorted by
  /// name ignoring ASCII case. A deque, so that the members of a large group
  /// are never held twice while they grow in number.
  virtual HRESULT Members(std::deque<Principal>& members) = 0;
  /// Whether the account `accountName` of the domain `domain` belongs to the
  /// group: directly, through nested groups or by its primary group.
  virtual HRESULT HasMember(const std::string& domain, const std::string& accountName, bool& member) = 0;
};

/// One account bound for the forced password change: the values its search
/// row returned stand for those read at a bind.
class UserAccount {
 public:
  virtual ~UserAccount() = default;
  /// userAccountControl as the row gave it; fails when it has none, or none
  /// that reads as a number.
  virtual HRESULT GetUserAccountControl(int32_t& value) const = 0;
  /// Sends pwdLastSet = 0 and userAccountControl = `userAccountControl` in
  /// one write that fails whole if the account changed since its row was
  /// read, and goes on: `done` gets the outcome once the directory answers,
  /// writes in the order sent, at the latest in Directory::FinishWrites.
  virtual void ForceChange(int32_t userAccountControl, std::function<void(HRESULT)> done) = 0;
};

/// One session with the directory, as the invoking user; never a name or a
/// password. Start and Stop bracket every other call.
class Directory {
 public:
  virtual ~Directory() = default;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  /// Binds and reads the root DSE. `namingContext` stays empty when it has
  /// no defaultNamingContext; a failed bind is a failed status.
  virtual HRESULT ReadNamingContext(std::optional<std::string>& namingContext) = 0;
  /// The container `dn` as the root of account searches; fails when it
  /// names no object. With `forChange`, each account comes bound for the
  /// forced password change (Account::user).
  virtual HRESULT OpenContainer(const std::string& dn, bool forChange, std::unique_ptr<AccountSearch>& out) = 0;
  /// The group `name` (a sAMAccountName) of the domain `domain`, which must
  /// be the directory's own (ignoring ASCII case).
  virtual HRESULT OpenGroup(const std::string& domain, const std::string& name, std::unique_ptr<Group>& out) = 0;
  /// A member that is a group. Fails when it is none.
  virtual HRESULT OpenGroup(const Principal& member, std::unique_ptr<Group>& out) = 0;
  /// Waits for every forced change still unanswered, handing out each
  /// outcome.
  virtual void FinishWrites() = 0;
  /// The NetBIOS name of the directory's own domain, as the directory
  /// spells it.
  virtual HRESULT GetDomainName(std::string& name) = 0;
  /// The sAMAccountName of the account whose credentials the bind used.
  virtual HRESULT GetCallerName(std::string& name) = 0;
};

}  // namespace agewarden
