// The wire under the backend: one connection to the server through the
// platform's LDAP library (libldap with SASL on Linux, Wldap32 on Windows),
// bound as the invoking user, and the plain types that cross it. Each
// platform has its own connection file; everything above this header is
// shared by the builds, and nothing here knows what lies above.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "directory/hresult.h"
#include "directory/platform/entry.h"

namespace agewarden {

/// Knobs of the LDAP backend. The defaults suit a real domain.
struct LdapSettings {
  /// Entries per page when a search is paged.
  int pageSize = 1000;
  /// Values per step of ranged retrieval of `member` (0: as the server gives).
  int memberRangeStep = 0;
  /// When true every search is paged from the start; otherwise a search runs
  /// unpaged first and continues paged when the server cuts it.
  bool alwaysPage = false;
};

}  // namespace agewarden

namespace agewarden::ldap {

/// Time-outs of a connection on both builds, unless the environment sets
/// them as OpenLDAP's tools read them (LDAPNETWORK_TIMEOUT, LDAPTIMEOUT; on
/// POSIX ldap.conf's NETWORK_TIMEOUT and TIMEOUT too): reaching the server,
/// and each wait for an answer, the bind's included.
constexpr int kConnectSeconds = 10;
constexpr int kOperationSeconds = 120;

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

/// One message of a request as it arrives: a search's entry, the result that
/// ends a search or answers a modify (its LDAP result code and, for a page,
/// the cookie of the next one, empty after the last), or anything else (a
/// continuation reference).
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

class Connection {
 public:
  virtual ~Connection() = default;
  /// Sends a search. `lost` is set when the connection is gone.
  virtual HRESULT Search(const SearchRequest& request, const PageRequest* page, int& msgid, bool& lost) = 0;
  /// The next message of `msgid`. With `wait`, within the operation
  /// time-out: a wait that times out abandons the operation and fails with
  /// E_ADS_TIMEOUT. Without, S_FALSE (and kind Other) when nothing has come
  /// yet. A failure that comes with no message (kind Other) leaves the
  /// connection unusable.
  virtual HRESULT Receive(int msgid, SearchMessage& message, bool wait) = 0;
  virtual void Abandon(int msgid) = 0;
  /// Sends one modify operation with every change in `mods`; its result
  /// comes through Receive. `lost` is set when the connection is gone.
  virtual HRESULT Modify(const std::string& dn, const std::vector<Modification>& mods, int& msgid, bool& lost) = 0;
  /// The principal the bind authenticated as ("name@REALM"); empty when it
  /// cannot be told.
  virtual std::string BoundPrincipal() = 0;
};

/// Opens and binds a connection: the platform's OpenConnection in the
/// program, an in-memory server in the tests.
using ConnectionFactory = std::function<HRESULT(std::unique_ptr<Connection>& out)>;

/// Connects to the configured (or located) server and binds as the invoking
/// user. A connection that nothing protects (no security layer, no TLS, not
/// local) is refused with E_ADS_CONFIDENTIALITY_REQUIRED.
HRESULT OpenConnection(std::unique_ptr<Connection>& out);

}  // namespace agewarden::ldap
