// A search whose entries are taken one at a time as they arrive, so memory
// holds one entry (and what libldap buffers), never the whole result. Every
// read of the backend goes through it: one loop over the messages of a search.
//
// No server limit may cut a result. A search runs unpaged first (fast on
// Samba, whose paged path is several times slower); when the server ends it
// with sizeLimitExceeded or adminLimitExceeded (Windows AD stops an unpaged
// search at MaxPageSize entries), it goes on as a paged search (RFC 2696)
// from the start and skips the entries already handed out, known by their
// objectGUID, so that no entry is returned twice and none is lost. (The
// objectGUID asked for that stays in the entries handed out.)
#pragma once

#include <array>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "directory/backend/session.h"

namespace agewarden::ldap {

class SearchStream {
 public:
  enum class Paging {
    AsConfigured,  ///< unpaged then paged when cut, or always paged (alwaysPage)
    Never,         ///< one unpaged request; a cut result is a failure
    Always,        ///< paged from the start
  };

  SearchStream(std::shared_ptr<Session> session, SearchRequest request, Paging paging = Paging::AsConfigured);
  ~SearchStream();
  SearchStream(const SearchStream&) = delete;
  SearchStream& operator=(const SearchStream&) = delete;

  /// Sends the first request; a filter libldap cannot encode fails here.
  /// Next() starts the search itself when this was not called.
  HRESULT Start();
  /// S_OK with the next entry, S_ADS_NOMORE_ROWS after the last one, or the
  /// failure that ended the search (also after some entries were given).
  HRESULT Next(Entry& entry);

 private:
  enum class Phase { NotStarted, Unpaged, Paged, Done, Failed };

  HRESULT Send(const PageRequest* page);
  HRESULT SendPage();
  HRESULT GoOnPaged();
  HRESULT Fail(HRESULT status);
  HRESULT Ended(const SearchMessage& message);
  void Remember(const Entry& entry);
  bool HandedOut(const Entry& entry) const;
  void Forget();

  std::shared_ptr<Session> session_;
  SearchRequest request_;
  bool alwaysPage_ = false;
  bool continuePaged_ = false;  // an unpaged result cut by a limit goes on paged
  Phase phase_ = Phase::NotStarted;
  HRESULT failure_ = S_OK;
  int msgid_ = -1;
  bool active_ = false;
  uint64_t generation_ = 0;
  std::string cookie_;
  bool skipSeen_ = false;
  // What the unpaged phase handed out: objectGUIDs, 16 bytes each (sorted
  // once the paged phase starts), and the DNs of entries without one.
  std::vector<std::array<char, 16>> seenGuids_;
  std::unordered_set<std::string> seenDns_;
};

/// Hands each entry of `stream` to `take` as it arrives. S_OK after the last
/// one, or the failure that ended the search.
template <typename Take>
HRESULT ForEachEntry(SearchStream& stream, Take take) {
  while (true) {
    Entry entry;
    const HRESULT status = stream.Next(entry);
    if (status == S_ADS_NOMORE_ROWS) return S_OK;
    if (Failed(status)) return status;
    take(entry);
  }
}

/// The base entry of `dn` with the given attributes (empty: all user
/// attributes; {kNoAttributes}: none). E_ADS_NO_SUCH_OBJECT when the server
/// has no such entry (or the filter excludes it).
HRESULT ReadEntry(const std::shared_ptr<Session>& session, const std::string& dn,
                  const std::vector<std::string>& attributes, Entry& entry,
                  const std::string& filter = "(objectClass=*)");

/// Every entry of a search, for the backend's own lookups.
HRESULT SearchAll(const std::shared_ptr<Session>& session, const SearchRequest& request, std::vector<Entry>& entries,
                  SearchStream::Paging paging = SearchStream::Paging::AsConfigured);

}  // namespace agewarden::ldap
