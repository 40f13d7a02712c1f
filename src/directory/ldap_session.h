// One connection to the directory server and everything that is sent over
// it. The connection is opened and bound (SASL, the invoking user's own
// credentials) at the first operation that needs it and reused by every
// later one; Close ends it. Objects, searches and enumerations hold the
// session through a shared_ptr, so whatever outlives Stop() fails cleanly
// instead of touching a closed handle.
#pragma once

#include <ldap.h>
#include <sys/time.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "directory/directory.h"
#include "directory/ldap_directory.h"
#include "directory/ldap_entry.h"
#include "directory/ldap_handles.h"

namespace agewarden::ldap {

/// What to search for.
struct SearchRequest {
  std::string base;
  int scope = LDAP_SCOPE_SUBTREE;
  std::string filter = "(objectClass=*)";
  /// Attribute descriptions to return; empty asks for all user attributes.
  std::vector<std::string> attributes;
  /// Non-empty: an attribute-scoped query, searching the objects that this
  /// attribute of the base entry names instead of the base itself.
  std::string scopedAttribute;
};

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

  /// Sends a search; `pageControl` (may be null) is sent as the only server
  /// control.
  HRESULT SendSearch(const SearchRequest& request, LDAPControl* pageControl, int& msgid);
  /// The next message of an operation, waiting at most the operation
  /// time-out. A wait that times out abandons the operation and fails.
  HRESULT Receive(int msgid, MessagePtr& message);
  /// A critical paged-results control (RFC 2696) asking for `pageSize`
  /// entries after `cookie` (empty for the first page).
  HRESULT CreatePageControl(int pageSize, const std::string& cookie, ControlPtr& control);
  /// Stops an operation whose results are no longer wanted.
  void Abandon(int msgid, uint64_t generation);

  /// Copies an entry out of a search-entry message.
  HRESULT ParseEntry(LDAPMessage* message, Entry& entry);
  /// The result code of a search-result message and, when asked for, the
  /// paged-results cookie it carries (empty: the last page).
  HRESULT ParseResult(LDAPMessage* message, int& code, std::string* cookie);

  /// One modify operation with every change in `mods` (NULL-terminated).
  HRESULT Modify(const std::string& dn, LDAPMod** mods);
  /// Modify operations sent so far on this session.
  uint64_t WriteCount() const { return writeCount_; }
  /// True when a modify of `dn` (ignoring ASCII case) was sent after the
  /// first `mark` modifies.
  bool WrittenSince(const std::string& dn, uint64_t mark) const;

  /// The base entry of `dn` with the given attributes (empty: all user
  /// attributes; {"1.1"}: none). E_ADS_NO_SUCH_OBJECT
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

 private:
  HRESULT Ready();
  HRESULT Connect();
  HRESULT CheckProtection();
  /// The Kerberos principal the bind used: from the SASL layer, else from
  /// the default credentials cache.
  std::string BoundPrincipal();
  void MarkBroken();

  enum class State { Idle, Open, Failed, Closed };

  const LdapSettings settings_;
  LdapStatistics& statistics_;
  State state_ = State::Idle;
  HRESULT openStatus_ = S_OK;
  bool broken_ = false;
  uint64_t generation_ = 0;
  LdapHandle ld_;
  timeval operationTimeout_{120, 0};
  std::optional<DomainFacts> facts_;
  uint64_t writeCount_ = 0;
  // Each DN modified in this session (lower-case), with the count after its
  // last modify.
  std::unordered_map<std::string, uint64_t> written_;
};

}  // namespace agewarden::ldap
