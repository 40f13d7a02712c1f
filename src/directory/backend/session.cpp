#include "directory/backend/session.h"

#include "common/text.h"
#include "directory/platform/status.h"

namespace agewarden::ldap {

Session::Session(const LdapSettings& settings, ConnectionFactory factory)
    : settings_(settings), factory_(std::move(factory)) {}

Session::~Session() { Close(); }

HRESULT Session::Open() {
  switch (state_) {
    case State::Open: return broken_ ? E_ADS_SERVER_DOWN : S_OK;
    case State::Failed: return openStatus_;
    case State::Closed: return E_ADS_SERVER_DOWN;
    case State::Idle: break;
  }
  openStatus_ = factory_(connection_);
  if (Succeeded(openStatus_) && !connection_) openStatus_ = E_FAIL;
  state_ = Succeeded(openStatus_) ? State::Open : State::Failed;
  if (Failed(openStatus_)) connection_.reset();
  ++generation_;
  return openStatus_;
}

void Session::Close() {
  broken_ = true;
  SettleWrites(true);  // what is still unanswered is failed, in order
  connection_.reset();
  if (state_ != State::Idle) ++generation_;
  state_ = State::Closed;
}

HRESULT Session::Ready() {
  const HRESULT opened = Open();
  if (Failed(opened)) return opened;
  return broken_ ? E_ADS_SERVER_DOWN : S_OK;
}

HRESULT Session::SendSearch(const SearchRequest& request, const PageRequest* page, int& msgid) {
  const HRESULT ready = Ready();
  if (Failed(ready)) return ready;
  bool lost = false;
  const HRESULT status = connection_->Search(request, page, msgid, lost);
  if (lost) broken_ = true;
  return status;
}

HRESULT Session::Receive(int msgid, SearchMessage& message) {
  SettleWrites(false);
  if (broken_ || !connection_) return E_ADS_SERVER_DOWN;
  const HRESULT status = connection_->Receive(msgid, message, true);
  // A server that stopped answering, or a connection that failed: nothing
  // is trusted to it after this.
  if (Failed(status) && message.kind == SearchMessage::Kind::Other) broken_ = true;
  return status;
}

void Session::Abandon(int msgid, uint64_t generation) {
  if (!connection_ || broken_ || generation != generation_) return;
  connection_->Abandon(msgid);
}

void Session::Modify(const std::string& dn, const std::vector<Modification>& mods, std::function<void(HRESULT)> done) {
  while (unanswered_.size() >= kWriteWindow) SettleOldest(true);
  const HRESULT ready = Ready();
  if (Failed(ready)) return done(ready);
  // Counted whatever the outcome: a modify that fails may still have been
  // applied before the reply was lost.
  written_[LowerAscii(dn)] = ++writeCount_;
  bool lost = false;
  int msgid = -1;
  const HRESULT status = connection_->Modify(dn, mods, msgid, lost);
  if (lost) broken_ = true;
  if (Failed(status)) return done(status);
  unanswered_.push_back({msgid, std::move(done)});
}

void Session::SettleWrites(bool all) {
  while (!unanswered_.empty() && SettleOldest(all)) {
  }
}

// The answer of the oldest unanswered write, handed to its `done`; false
// when it has not come and `wait` is not given.
bool Session::SettleOldest(bool wait) {
  HRESULT outcome = E_ADS_SERVER_DOWN;
  if (!broken_ && connection_) {
    SearchMessage message;
    const HRESULT status = connection_->Receive(unanswered_.front().msgid, message, wait);
    if (status == S_FALSE && !wait) return false;
    if (Failed(status) && message.kind == SearchMessage::Kind::Other) broken_ = true;
    if (Failed(status)) {
      outcome = status;
    } else if (message.kind != SearchMessage::Kind::Result) {
      outcome = E_ADS_DECODING_ERROR;  // a modify is answered by its result alone
    } else {
      outcome = message.code == kResultSuccess ? S_OK : StatusFromLdapResult(message.code);
    }
  }
  const std::function<void(HRESULT)> done = std::move(unanswered_.front().done);
  unanswered_.pop_front();
  done(outcome);
  return true;
}

bool Session::WrittenSince(const std::string& dn, uint64_t mark) const {
  if (writeCount_ <= mark) return false;
  const auto found = written_.find(LowerAscii(dn));
  return found != written_.end() && found->second > mark;
}

std::string Session::BoundPrincipal() {
  if (Failed(Ready())) return {};
  return connection_->BoundPrincipal();
}

}  // namespace agewarden::ldap
