// An in-memory directory server at the lowest seam, the connection, so that
// the whole backend runs in the tests. Sized to what the backend sends:
// base, one-level and subtree searches with its filter shapes (and, or,
// equality, presence, '*' substrings; ASCII case ignored), pages, an
// unpaged result cut at a size limit, `member;range=` slices, the
// attribute-scoped query, tokenGroups, objectGUID, the edit-safe modify
// (applied when answered). It records every request and write, answers late
// when told, and fails any request on demand.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "directory/platform/connection.h"

namespace agewarden::testing {

using ldap::Attribute;
using ldap::Entry;

class FakeServer {
 public:
  enum class Fault {
    Refuse,   ///< the client library refuses the request: `value` is the status
    Result,   ///< the server answers it with the LDAP result code `value`
    Lose,     ///< the connection is lost after `value` entries of it
    Silence,  ///< the server stops answering after `value` entries of it
  };

  /// The objects, in the order searches return them; the root DSE's DN is "".
  std::vector<Entry> entries;
  /// What a bind gives: its status, and the principal it authenticated.
  HRESULT bindStatus = S_OK;
  std::string principal = "boss@CORP.EXAMPLE";
  size_t sizeLimit = 0;     ///< entries an unpaged search returns before sizeLimitExceeded (0: all)
  size_t rangeStep = 0;     ///< values of `member` per slice of ranged retrieval (0: all at once)
  bool tokenGroups = true;  ///< whether tokenGroups is computed for the accounts asked about
  /// Values the server also takes as equal (its case folding beyond ASCII).
  std::function<bool(std::string_view stored, std::string_view asserted)> alsoEqual;
  /// Called with the request's text before each message of it is handed out.
  std::function<void(const std::string& request)> beforeAnswer;
  /// Whether the next answer of a request has come when the client looks
  /// without waiting (unset: always); a client that waits always gets it.
  std::function<bool(const std::string& request)> arrived;

  /// Every request: "search BASE B|O|S FILTER [ATTRIBUTES]", " page" and
  /// " asq=ATTRIBUTE" added for those controls; "modify DN".
  std::vector<std::string> requests;
  std::string writes;  ///< each write that took effect: "FIRST-RDN-VALUE: attribute=values ...;"
  /// Connections opened (binds tried), those still open, and the most
  /// requests not yet answered in full at once.
  int connections = 0, open = 0, maxInFlight = 0;

  Entry& Add(const std::string& dn, std::vector<Attribute> attributes) {
    return entries.emplace_back(Entry{dn, std::move(attributes)});
  }
  Entry* Find(std::string_view dn);  ///< the entry named `dn` (DNs compared as DNs); nullptr when none
  /// The `nth` request (1: the first; 0: every one) whose text contains
  /// `match` fails with `fault`.
  void Fail(std::string match, Fault fault, int value = 0, int nth = 1) { rules_.push_back({match, fault, value, nth}); }
  ldap::ConnectionFactory Factory();

 private:
  friend class FakeConnection;
  struct Rule {
    std::string match;
    Fault fault;
    int value, nth, seen = 0;
  };
  const Rule* Match(const std::string& request);
  std::vector<Rule> rules_;
  int inFlight_ = 0;
};

}  // namespace agewarden::testing
