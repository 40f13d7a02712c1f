// One connection to the directory server and everything that is sent over
// it. The connection is opened and bound (the invoking user's own
// credentials) at the first operation that needs it and reused by every
// later one; Close ends it. Searches and objects hold the session through a
// shared_ptr, so whatever outlives Stop() fails cleanly instead of touching
// a closed handle. The wire itself comes from the factory the session is
// given (platform/connection.h).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "directory/platform/connection.h"

namespace agewarden::ldap {

class Session {
 public:
  Session(const LdapSettings& settings, ConnectionFactory factory);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  /// Connects and binds on first use; later calls give the first outcome
  /// again (one bind per run, even a failed one).
  HRESULT Open();
  /// Unbinds and closes. Every later operation fails with E_ADS_SERVER_DOWN.
  void Close();

  const LdapSettings& Settings() const { return settings_; }
  /// Changes each time a connection is opened or closed, so a search can
  /// tell that its message id belongs to a connection that is gone.
  uint64_t Generation() const { return generation_; }

  /// Sends a search; paged when `page` is given.
  HRESULT SendSearch(const SearchRequest& request, const PageRequest* page, int& msgid);
  /// The next message of a search, waiting at most the operation time-out.
  /// A wait that times out abandons the search and fails. Before it waits,
  /// the writes already answered are settled (SettleWrites).
  HRESULT Receive(int msgid, SearchMessage& message);
  /// Stops an operation whose results are no longer wanted.
  void Abandon(int msgid, uint64_t generation);

  /// Sends one modify operation with every change in `mods`, and goes on:
  /// `done` gets its outcome once the server answers (or the session fails
  /// it), in the order the writes were sent. At most kWriteWindow writes are
  /// unanswered at once; another waits for the oldest answer first.
  void Modify(const std::string& dn, const std::vector<Modification>& mods, std::function<void(HRESULT)> done);
  /// Hands out the outcomes of the writes answered so far, oldest first, up
  /// to the first still unanswered; with `all`, waits for every one (under
  /// one time-out: a server that stops answering fails them all).
  void SettleWrites(bool all);
  /// Modify operations sent so far on this session.
  uint64_t WriteCount() const { return writeCount_; }
  /// True when a modify of `dn` (ignoring ASCII case) was sent after the
  /// first `mark` modifies.
  bool WrittenSince(const std::string& dn, uint64_t mark) const;

  /// The principal the bind authenticated as; empty when it cannot be told.
  std::string BoundPrincipal();

 private:
  HRESULT Ready();
  bool SettleOldest(bool wait);

  enum class State { Idle, Open, Failed, Closed };

  const LdapSettings settings_;
  ConnectionFactory factory_;
  State state_ = State::Idle;
  HRESULT openStatus_ = S_OK;
  bool broken_ = false;
  uint64_t generation_ = 0;
  std::unique_ptr<Connection> connection_;
  uint64_t writeCount_ = 0;
  // Each DN modified in this session (lower-case), with the count after its
  // last modify.
  std::unordered_map<std::string, uint64_t> written_;
  struct Write {
    int msgid;
    std::function<void(HRESULT)> done;
  };
  std::deque<Write> unanswered_;
};

/// Writes kept unanswered at once on the session. Samba answers one
/// connection's requests in order and AD documents no limit: 32 keep the
/// server busy across a round trip of up to 32 writes' own time (over 100 ms
/// against Samba), while the writes failed by a lost connection, and the
/// output held behind them, stay few.
constexpr size_t kWriteWindow = 32;

}  // namespace agewarden::ldap
