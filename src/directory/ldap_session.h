// One connection to the directory server and everything that is sent over
// it. The connection is opened and bound (the invoking user's own
// credentials) at the first operation that needs it and reused by every
// later one; Close ends it. Objects, searches and enumerations hold the
// session through a shared_ptr, so whatever outlives Stop() fails cleanly
// instead of touching a closed handle. The wire itself is the platform's
// LDAP library, behind Connection (ldap_connection.h); everything here is
// shared by the builds.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "directory/directory.h"
#include "directory/ldap_directory.h"
#include "directory/ldap_entry.h"

namespace agewarden::ldap {

/// Search scopes and modify operations carry their protocol values (RFC
/// 4511), which both client libraries use for their constants.
enum class Scope { Base = 0, OneLevel = 1, Subtree = 2 };

/// The attribute list that asks for no attributes.
inline const std::string kNoAttributes = "1.1";

/// LDAP result codes the backend tells apart (protocol values, the same for
/// every client library).
constexpr int kResultSuccess = 0;
constexpr int kResultSizeLimitExceeded = 4;
constexpr int kResultAdminLimitExceeded = 11;

/// What to search for.
struct SearchRequest {
  std::string base;
  Scope scope = Scope::Subtree;
  std::string filter = "(objectClass=*)";
  /// Attribute descriptions to return; empty asks for all user attributes.
  std::vector<std::string> attributes;
  /// Non-empty: an attribute-scoped query, searching the objects that this
  /// attribute of the base entry names instead of the base itself.
  std::string scopedAttribute;
};

/// A page of a paged search (RFC 2696, critical): `size` entries after
/// `cookie` (empty for the first page).
struct PageRequest {
  int size = 0;
  std::string cookie;
};

/// One message of a search as it arrives: an entry, the result that ends
/// the request (its LDAP result code and, when paged, the cookie of the next
/// page, empty after the last), or anything else (a continuation reference).
struct SearchMessage {
  enum class Kind { Entry, Result, Other };
  Kind kind = Kind::Other;
  Entry entry;
  int code = kResultSuccess;
  std::string cookie;
};

/// One change of a modify operation.
struct Modification {
  enum class Op { Add = 0, Delete = 1, Replace = 2 };
  Op op = Op::Replace;
  std::string attribute;
  std::vector<std::string> values;
};

class Connection;

/// The domain facts every path operation needs, read once per connection.
struct DomainFacts {
  std::string defaultNamingContext;
  std::string configurationNamingContext;
  std::string netbiosName;  ///< empty until first needed
  bool netbiosLooked = false;
  HRESULT netbiosStatus = S_OK;
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(const LdapSettings& settings, LdapStatistics& statistics);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  /// Connects and binds on first use; later calls give the first outcome
  /// again (one bind per run, even a failed one). A connection protected
  /// neither by a SASL security layer of 56 bits or more, nor by TLS, nor
  /// local (ldapi://), is not used: E_ADS_CONFIDENTIALITY_REQUIRED.
  HRESULT Open();
  /// Unbinds and closes. Every later operation fails with E_ADS_SERVER_DOWN.
  void Close();

  const LdapSettings& Settings() const { return settings_; }
  LdapStatistics& Statistics() { return statistics_; }
  /// Changes each time a connection is opened or closed, so a search can
  /// tell that its message id belongs to a connection that is gone.
  uint64_t Generation() const { return generation_; }

  /// Sends a search; paged when `page` is given.
  HRESULT SendSearch(const SearchRequest& request, const PageRequest* page, int& msgid);
  /// The next message of an operation, waiting at most the operation
  /// time-out. A wait that times out abandons the operation and fails.
  HRESULT Receive(int msgid, SearchMessage& message);
  /// Stops an operation whose results are no longer wanted.
  void Abandon(int msgid, uint64_t generation);

  /// One modify operation with every change in `mods`.
  HRESULT Modify(const std::string& dn, const std::vector<Modification>& mods);
  /// Modify operations sent so far on this session.
  uint64_t WriteCount() const { return writeCount_; }
  /// True when a modify of `dn` (ignoring ASCII case) was sent after the
  /// first `mark` modifies.
  bool WrittenSince(const std::string& dn, uint64_t mark) const;

  /// The base entry of `dn` with the given attributes (empty: all user
  /// attributes; {kNoAttributes}: none). E_ADS_NO_SUCH_OBJECT
  /// when the server has no such entry (or the filter excludes it). The
  /// session must be held by a shared_ptr.
  HRESULT Read(const std::string& dn, const std::vector<std::string>& attributes, Entry& entry,
               const std::string& filter = "(objectClass=*)");

  /// Root-DSE and crossRef facts; binds first when needed.
  HRESULT Facts(const DomainFacts*& facts);
  /// Takes the facts from a root DSE read elsewhere, sparing a second read.
  void NoteRootDse(const Entry& root);
  /// The NetBIOS name of the directory's own domain.
  HRESULT NetbiosName(std::string& name);
  /// The sAMAccountName of the account the bind authenticated as, found as
  /// a KDC finds the account of a client principal.
  HRESULT CallerName(std::string& name);
  /// The first object below the default naming context that `filter`
  /// matches, with the given attributes; E_ADS_NO_SUCH_OBJECT when none.
  HRESULT FindAccount(const std::string& filter, const std::vector<std::string>& attributes, Entry& entry);

 private:
  HRESULT Ready();
  void MarkBroken();

  enum class State { Idle, Open, Failed, Closed };

  const LdapSettings settings_;
  LdapStatistics& statistics_;
  State state_ = State::Idle;
  HRESULT openStatus_ = S_OK;
  bool broken_ = false;
  uint64_t generation_ = 0;
  std::unique_ptr<Connection> connection_;
  std::optional<DomainFacts> facts_;
  uint64_t writeCount_ = 0;
  // Each DN modified in this session (lower-case), with the count after its
  // last modify.
  std::unordered_map<std::string, uint64_t> written_;
};

}  // namespace agewarden::ldap
