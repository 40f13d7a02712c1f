// Searches asked for ahead of time. A caller that knows which accounts it
// will look up next (the rest of a list file, the rest of a group) says so,
// and their one-name searches are sent to the server many names at a time:
// (&(|(userPrincipalName=a@s)(userPrincipalName=b@s)...)(objectClass=user)...)
// with a few such searches in flight. Each later one-name search is then
// answered from what came back, whenever that answer is certainly the one
// its own search would give; otherwise it is left to run on its own.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "directory/ldap_entry.h"
#include "directory/ldap_search_stream.h"
#include "directory/ldap_session.h"

namespace agewarden::ldap {

/// Names per batched search, and batched searches in flight at once.
constexpr size_t kReadAheadBatch = 100;
constexpr size_t kReadAheadInFlight = 4;

/// A filter that ends in one plain equality, split for merging:
/// "(&" + rest + "(" + attribute + "=" + value + "))". Nothing for any other
/// shape, and for a value that could not be merged safely (a wildcard,
/// parentheses, a backslash, a NUL byte, bytes that are not UTF-8).
struct MergeableFilter {
  std::string rest;
  std::string attribute;
  std::string value;
};
std::optional<MergeableFilter> SplitMergeable(const std::string& filter);

class ReadAhead {
 public:
  ReadAhead(std::shared_ptr<Session> session, std::string base);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  /// Filters of one-name searches to come, in the order expected.
  void Expect(const std::vector<std::string>& filters);

  /// The entries of the search `filter` with `attributes` in `scope`, when
  /// read ahead and certain: true with `entries` filled. False when the
  /// caller must run the search itself (never read ahead, the batched search
  /// failed, the rows cannot be matched to the name with certainty, or an
  /// account among them was changed since).
  bool Take(const std::string& filter, int scope, const std::vector<std::string>& attributes,
            std::vector<Entry>& entries);

 private:
  struct Batch;

  void Send(Batch& batch, int scope, const std::vector<std::string>& attributes);
  void Drain(Batch& batch);
  bool Answer(const Batch& batch, const std::string& value, std::vector<Entry>& entries) const;
  void Release(Batch* batch);

  std::shared_ptr<Session> session_;
  std::string base_;
  std::deque<std::unique_ptr<Batch>> batches_;
  // Each expected filter, once per time it is expected, with its batch.
  std::unordered_map<std::string, std::deque<Batch*>> expected_;
};

}  // namespace agewarden::ldap
