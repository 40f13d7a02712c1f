#include "directory/ldap_search.h"

#include <optional>

#include "directory/ldap_columns.h"
#include "common/text.h"
#include "directory/ldap_attributes.h"
#include "directory/ldap_status.h"

namespace agewarden::ldap {
namespace {

constexpr std::string_view kAdsPath = "ADsPath";

class LdapSearchHandle : public SearchHandle {
 public:
  LdapSearchHandle(std::shared_ptr<Session> session, SearchRequest request, std::vector<std::string> requested)
      : session_(std::move(session)), request_(std::move(request)), requested_(std::move(requested)) {}

  /// Rows read ahead: the handle serves these instead of searching.
  void Serve(std::vector<Entry> entries) { readAhead_ = std::move(entries); }

  HRESULT Begin() {
    if (readAhead_) {
      served_ = 0;
      return S_OK;
    }
    stream_ = std::make_unique<SearchStream>(session_, request_);
    return stream_->Start();
  }

  HRESULT GetFirstRow() override {
    // Still on the first row: it stays the current one.
    if (rows_ == 1 && onRow_) {
      cursor_ = 0;
      return S_OK;
    }
    if (rows_ > 0 || ended_ || Failed(failure_)) {
      // Back to the start: the search runs again.
      rows_ = 0;
      ended_ = false;
      failure_ = S_OK;
      onRow_ = false;
      const HRESULT started = Begin();
      if (Failed(started)) return Fail(started);
    }
    return Advance();
  }

  HRESULT GetNextRow() override {
    if (ended_) return S_ADS_NOMORE_ROWS;
    if (Failed(failure_)) return failure_;
    return Advance();
  }

  HRESULT GetNextColumnName(std::string& name) override {
    if (!onRow_) return Failed(failure_) ? failure_ : E_FAIL;
    if (cursor_ >= columns_.size()) return S_ADS_NOMORE_COLUMNS;
    name = columns_[cursor_++].name;
    return S_OK;
  }

  HRESULT GetColumn(const std::string& name, Column& column) override {
    column = Column{};
    if (!onRow_) return Failed(failure_) ? failure_ : E_FAIL;
    for (const ReportedColumn& reported : columns_) {
      if (EqualsIgnoreAsciiCase(reported.name, name)) return ColumnValues(reported, column);
    }
    return E_ADS_COLUMN_NOT_SET;
  }

 private:
  HRESULT Fail(HRESULT status) {
    failure_ = status;
    onRow_ = false;
    columns_.clear();
    return status;
  }

  HRESULT Advance() {
    columns_.clear();
    onRow_ = false;
    cursor_ = 0;
    HRESULT status = S_ADS_NOMORE_ROWS;
    if (!readAhead_) {
      status = stream_->Next(row_);
    } else if (served_ < readAhead_->size()) {
      row_ = (*readAhead_)[served_++];
      status = S_OK;
    }
    if (status == S_ADS_NOMORE_ROWS) {
      ended_ = true;
      return S_ADS_NOMORE_ROWS;
    }
    if (Failed(status)) return Fail(status);
    ++rows_;
    onRow_ = true;
    columns_ = ReportColumns(row_, requested_);
    return S_OK;
  }

  std::shared_ptr<Session> session_;
  SearchRequest request_;
  std::vector<std::string> requested_;
  std::unique_ptr<SearchStream> stream_;
  std::optional<std::vector<Entry>> readAhead_;
  size_t served_ = 0;
  Entry row_;
  std::vector<ReportedColumn> columns_;
  size_t cursor_ = 0;
  uint64_t rows_ = 0;
  bool onRow_ = false;
  bool ended_ = false;
  HRESULT failure_ = S_OK;
};

}  // namespace

LdapDirectorySearch::LdapDirectorySearch(std::shared_ptr<Session> session, std::string baseDn)
    : session_(std::move(session)), baseDn_(std::move(baseDn)) {}

// Subtree is the only scope there is.
HRESULT LdapDirectorySearch::SetSearchPreference(SearchScope) { return S_OK; }

HRESULT LdapDirectorySearch::ExecuteSearch(const std::string& filter, const std::vector<std::string>& attributes,
                                           std::unique_ptr<SearchHandle>& handle) {
  handle.reset();
  SearchRequest request;
  request.base = baseDn_;
  request.filter = filter.empty() ? "(objectClass=*)" : filter;
  // ADsPath is made from the DN, not asked of the server.
  for (const std::string& attribute : attributes) {
    if (!EqualsIgnoreAsciiCase(attribute, kAdsPath)) request.attributes.push_back(attribute);
  }
  if (request.attributes.empty() && !attributes.empty()) request.attributes.emplace_back(LDAP_NO_ATTRS);
  std::vector<Entry> entries;
  const bool readAhead = readAhead_ && readAhead_->Take(filter, request.scope, request.attributes, entries);
  auto search = std::make_unique<LdapSearchHandle>(session_, std::move(request), attributes);
  if (readAhead) search->Serve(std::move(entries));
  const HRESULT status = search->Begin();
  if (Failed(status)) return status;
  handle = std::move(search);
  return S_OK;
}

void LdapDirectorySearch::ExpectSearches(const std::vector<std::string>& filters) {
  if (!session_->Settings().readAhead) return;
  if (!readAhead_) readAhead_ = std::make_unique<ReadAhead>(session_, baseDn_);
  readAhead_->Expect(filters);
}

}  // namespace agewarden::ldap
