// Account searches asked for ahead of time. A caller that knows which UPNs
// it will look up next (the rest of a list file, the rest of a group) says
// so, and their searches are sent to the server many UPNs at a time:
// (&(|(userPrincipalName=a@s)(userPrincipalName=b@s)...)(objectClass=user)...)
// with a few such searches in flight. Each later search of one UPN is then
// answered from what came back, whenever that answer is certainly the one
// its own search would give; otherwise it is left to run on its own.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "directory/backend/search_stream.h"
#include "directory/backend/session.h"

namespace agewarden::ldap {

/// Names per batched search, and batched searches in flight at once.
constexpr size_t kReadAheadBatch = 100;
constexpr size_t kReadAheadInFlight = 4;

/// Whether a UPN can share a search with others: not when it holds a
/// wildcard, parentheses, a backslash, a NUL byte or bytes that are not
/// UTF-8 (its clause means something else than one name, or nothing).
bool Mergeable(std::string_view upn);

/// Whether the directory could take the stored UPN `stored` for `upn`. It
/// compares userPrincipalName without regard to case, Unicode included, and
/// its rules beyond ASCII are not repeated here: only ASCII ends that differ
/// (ignoring case) tell two values apart with certainty.
bool MightMatch(std::string_view stored, std::string_view upn);

class ReadAhead {
 public:
  /// Searches below `base` that ask for `attributes`.
  ReadAhead(std::shared_ptr<Session> session, std::string base, std::vector<std::string> attributes);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  /// UPNs whose account searches come next, in the order expected.
  void Expect(const std::vector<std::string>& upns);

  /// The entries of the account search `filter`, when it is the search of
  /// an expected UPN, read ahead and certain: true with `entries` filled.
  /// False when the caller must run the search itself (never read ahead,
  /// the batched search failed, the rows cannot be matched to the UPN with
  /// certainty, or an account among them was changed since).
  bool Take(const std::string& filter, std::vector<Entry>& entries);

 private:
  struct Batch;

  void Send(Batch& batch);
  void Drain(Batch& batch);
  bool Answer(const Batch& batch, const std::string& upn, std::vector<Entry>& entries) const;
  void Release(Batch* batch);

  std::shared_ptr<Session> session_;
  std::string base_;
  std::vector<std::string> attributes_;
  std::deque<std::unique_ptr<Batch>> batches_;
  // The filter of each expected UPN, once per time it is expected, with the
  // UPN and its batch, oldest first. Nearly always one: a vector, not a
  // deque's block of 512 bytes for each.
  std::unordered_map<std::string, std::vector<std::pair<std::string, Batch*>>> expected_;
};

}  // namespace agewarden::ldap
