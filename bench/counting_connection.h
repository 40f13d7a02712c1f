// The real connection with a counter on it: the requests a run sends to a
// real server (request_counts prints them; the backend's lab test checks its
// pages). It can also make every unpaged subtree search read as cut by a
// size limit, as Windows AD cuts one at its MaxPageSize (Samba never does),
// so that the search goes on paged.
#pragma once

#include <memory>
#include <unordered_set>

#include "directory/platform/connection.h"

namespace agewarden::testing {

struct RequestCounts {
  int connections = 0;  ///< opened, or tried: one bind each
  int searches = 0;     ///< every page and every base read included
  int pages = 0;        ///< searches that carried the paged-results control
  int modifies = 0;
};

class CountingConnection : public ldap::Connection {
 public:
  CountingConnection(std::unique_ptr<ldap::Connection> inner, RequestCounts& counts, bool cutUnpaged)
      : inner_(std::move(inner)), counts_(counts), cutUnpaged_(cutUnpaged) {}

  HRESULT Search(const ldap::SearchRequest& request, const ldap::PageRequest* page, int& msgid, bool& lost) override {
    ++counts_.searches;
    counts_.pages += page != nullptr;
    const HRESULT status = inner_->Search(request, page, msgid, lost);
    if (cutUnpaged_ && page == nullptr && request.scope == ldap::Scope::Subtree) cut_.insert(msgid);
    return status;
  }
  HRESULT Receive(int msgid, ldap::SearchMessage& message, bool wait) override {
    const HRESULT status = inner_->Receive(msgid, message, wait);
    if (cut_.count(msgid) > 0 && message.kind == ldap::SearchMessage::Kind::Result) message.code = ldap::kResultSizeLimitExceeded;
    return status;
  }
  void Abandon(int msgid) override { inner_->Abandon(msgid); }
  HRESULT Modify(const std::string& dn, const std::vector<ldap::Modification>& mods, int& msgid, bool& lost) override {
    ++counts_.modifies;
    return inner_->Modify(dn, mods, msgid, lost);
  }
  std::string BoundPrincipal() override { return inner_->BoundPrincipal(); }

 private:
  std::unique_ptr<ldap::Connection> inner_;
  RequestCounts& counts_;
  bool cutUnpaged_;
  std::unordered_set<int> cut_;  // unpaged subtree searches in flight
};

/// Connections that `open` makes, counted in `counts`.
inline ldap::ConnectionFactory Counting(RequestCounts& counts, bool cutUnpaged = false,
                                        ldap::ConnectionFactory open = ldap::OpenConnection) {
  return [&counts, cutUnpaged, open](std::unique_ptr<ldap::Connection>& out) {
    ++counts.connections;
    const HRESULT status = open(out);
    if (out) out = std::make_unique<CountingConnection>(std::move(out), counts, cutUnpaged);
    return status;
  };
}

}  // namespace agewarden::testing
