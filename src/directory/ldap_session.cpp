#include "directory/ldap_session.h"

#include <krb5.h>
#include <sasl/sasl.h>
#include <signal.h>
#include <sys/socket.h>

#include "common/text.h"
#include "directory/ldap_filter.h"
#include "directory/ldap_locate.h"
#include "directory/ldap_search_stream.h"
#include "directory/ldap_status.h"

namespace agewarden::ldap {
namespace {

// Defaults for the time-outs that ldap.conf may leave unset.
constexpr time_t kDefaultConnectSeconds = 10;
constexpr time_t kDefaultOperationSeconds = 120;
// The least SASL security-layer strength taken as protecting the traffic
// (what Cyrus SASL reports for a GSSAPI confidentiality layer).
constexpr ber_len_t kMinimumSsf = 56;
// LDAP_SERVER_ASQ_OID: the attribute-scoped query control of Active Directory.
constexpr const char* kScopedQueryControl = "1.2.840.113556.1.4.1504";

// Answers every SASL prompt with nothing: the bind uses what the mechanism
// finds itself (the Kerberos ticket cache), never a name or a password typed
// or configured for this tool.
int AnswerNothing(LDAP*, unsigned, void*, void* prompts) {
  for (auto* prompt = static_cast<sasl_interact_t*>(prompts); prompt != nullptr && prompt->id != SASL_CB_LIST_END;
       ++prompt) {
    prompt->result = "";
    prompt->len = 0;
  }
  return LDAP_SUCCESS;
}

// A write to a connection the server closed must fail with EPIPE rather than
// end the process; an application that set its own handler keeps it.
void IgnoreSigpipe() {
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) != 0) return;
  if (current.sa_handler != SIG_DFL) return;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

// A time-out option of the handle (already holding ldap.conf's value, when
// there is one), or `fallback` when it is unset.
timeval TimeoutOption(LDAP* ld, int option, time_t fallback) {
  timeval* raw = nullptr;
  if (ldap_get_option(ld, option, &raw) == LDAP_OPT_SUCCESS && raw != nullptr) {
    const LdapMemory<timeval> owned(raw);
    if (owned->tv_sec > 0 || owned->tv_usec > 0) return *owned;
  }
  return timeval{fallback, 0};
}

// libldap waits for a reply with poll() and the time-out it is given, but
// once part of a message has arrived it reads the rest with a blocking
// read(): a server that stops answering in the middle of a message (or of a
// SASL packet) would hold the run forever. A receive time-out on the socket
// makes such a read give up with EAGAIN, which libldap takes as "nothing more
// yet", so the wait still ends when the operation time-out runs out.
void LimitBlockingReads(LDAP* ld, const timeval& timeout) {
  ber_socket_t fd = -1;
  if (ldap_get_option(ld, LDAP_OPT_DESC, &fd) != LDAP_OPT_SUCCESS || fd < 0) return;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

// A principal split at its realm: "name@REALM", the name unescaped
// ("john.doe\\@example.com@EXAMPLE.COM", an enterprise principal, has the name
// "john.doe@example.com").
struct Principal {
  std::string name;
  std::string realm;
};

std::optional<Principal> SplitPrincipal(const std::string& text) {
  Principal principal;
  bool escaped = false, inRealm = false;
  for (const char c : text) {
    std::string& part = inRealm ? principal.realm : principal.name;
    if (escaped) {
      part += c;
      escaped = false;
    } else if (c == '\\') {
      escaped = true;
    } else if (c == '@' && !inRealm) {
      inRealm = true;
    } else {
      part += c;
    }
  }
  if (principal.name.empty() || principal.realm.empty()) return std::nullopt;
  return principal;
}

// The client principal of the default credentials cache.
std::string DefaultCachePrincipal() {
  krb5_context context = nullptr;
  if (krb5_init_context(&context) != 0) return {};
  std::string text;
  krb5_ccache cache = nullptr;
  if (krb5_cc_default(context, &cache) == 0) {
    krb5_principal principal = nullptr;
    if (krb5_cc_get_principal(context, cache, &principal) == 0) {
      char* raw = nullptr;
      if (krb5_unparse_name(context, principal, &raw) == 0 && raw != nullptr) {
        text = raw;
        krb5_free_unparsed_name(context, raw);
      }
      krb5_free_principal(context, principal);
    }
    krb5_cc_close(context, cache);
  }
  krb5_free_context(context);
  return text;
}

int ResultCode(LDAP* ld) {
  int code = LDAP_OTHER;
  if (ld == nullptr || ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code) != LDAP_OPT_SUCCESS) return LDAP_OTHER;
  return code;
}

bool ConnectionLost(int code) {
  return code == LDAP_SERVER_DOWN || code == LDAP_CONNECT_ERROR || code == LDAP_TIMEOUT;
}

}  // namespace

Session::Session(const LdapSettings& settings, LdapStatistics& statistics)
    : settings_(settings), statistics_(statistics) {}

Session::~Session() { Close(); }

HRESULT Session::Open() {
  switch (state_) {
    case State::Open: return broken_ ? E_ADS_SERVER_DOWN : S_OK;
    case State::Failed: return openStatus_;
    case State::Closed: return E_ADS_SERVER_DOWN;
    case State::Idle: break;
  }
  openStatus_ = Connect();
  state_ = Succeeded(openStatus_) ? State::Open : State::Failed;
  if (Failed(openStatus_)) ld_.reset();
  ++generation_;
  return openStatus_;
}

HRESULT Session::Connect() {
  IgnoreSigpipe();
  LDAP* raw = nullptr;
  int rc = ldap_initialize(&raw, nullptr);
  LdapHandle ld(raw);
  if (rc != LDAP_SUCCESS || !ld) return rc == LDAP_SUCCESS ? E_FAIL : StatusFromLdapResult(rc);
  const std::string hosts = ServerHosts();
  if (!hosts.empty() && ldap_set_option(ld.get(), LDAP_OPT_HOST_NAME, hosts.c_str()) != LDAP_OPT_SUCCESS) {
    return StatusFromLdapResult(LDAP_PARAM_ERROR);
  }

  const int version = LDAP_VERSION3;
  ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(ld.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  ldap_set_option(ld.get(), LDAP_OPT_RESTART, LDAP_OPT_ON);
  // SASL_NOCANON and SASL_SECPROPS from ldap.conf are already in the
  // handle's options: ldap_initialize copies the global ones.
  const timeval connectTimeout = TimeoutOption(ld.get(), LDAP_OPT_NETWORK_TIMEOUT, kDefaultConnectSeconds);
  operationTimeout_ = TimeoutOption(ld.get(), LDAP_OPT_TIMEOUT, kDefaultOperationSeconds);
  ldap_set_option(ld.get(), LDAP_OPT_NETWORK_TIMEOUT, &connectTimeout);
  // Synchronous calls (the bind, the modify) wait at most this long too.
  ldap_set_option(ld.get(), LDAP_OPT_TIMEOUT, &operationTimeout_);

  ++statistics_.connections;
  rc = ldap_connect(ld.get());
  if (rc != LDAP_SUCCESS) return E_ADS_SERVER_DOWN;
  LimitBlockingReads(ld.get(), operationTimeout_);

  char* mechanismRaw = nullptr;
  ldap_get_option(ld.get(), LDAP_OPT_X_SASL_MECH, &mechanismRaw);
  const LdapString mechanismOwned(mechanismRaw);
  const char* mechanism = mechanismOwned && *mechanismOwned ? mechanismOwned.get() : "GSSAPI";

  // Windows AD and Samba refuse a GSSAPI sign or seal layer inside TLS
  // ("Sign or Seal are not allowed if TLS is used"): over TLS the SASL bind
  // asks for no security layer of its own. The other SASL_SECPROPS stay.
  if (ldap_tls_inplace(ld.get()) != 0) {
    ber_len_t noLayer = 0;
    ldap_set_option(ld.get(), LDAP_OPT_X_SASL_SSF_MAX, &noLayer);
  }

  ++statistics_.binds;
  rc = ldap_sasl_interactive_bind_s(ld.get(), nullptr, mechanism, nullptr, nullptr, LDAP_SASL_QUIET, AnswerNothing,
                                    nullptr);
  if (rc != LDAP_SUCCESS) {
    // A failure inside SASL (no ticket, unknown mechanism) comes back as a
    // local error; the caller sees that the bind was refused.
    if (rc == LDAP_LOCAL_ERROR || rc == LDAP_AUTH_UNKNOWN || rc == LDAP_PARAM_ERROR) return E_ADS_INVALID_CREDENTIALS;
    return StatusFromLdapResult(rc);
  }
  ld_ = std::move(ld);
  const HRESULT protection = CheckProtection();
  if (Failed(protection)) {
    ld_.reset();
    return protection;
  }
  return S_OK;
}

HRESULT Session::CheckProtection() {
  ber_len_t ssf = 0;
  if (ldap_get_option(ld_.get(), LDAP_OPT_X_SASL_SSF, &ssf) != LDAP_OPT_SUCCESS) ssf = 0;
  if (ssf >= kMinimumSsf) return S_OK;
  if (ldap_tls_inplace(ld_.get()) != 0) return S_OK;
  // ldapi:// is a local socket: nothing crosses a network.
  ber_socket_t fd = -1;
  if (ldap_get_option(ld_.get(), LDAP_OPT_DESC, &fd) == LDAP_OPT_SUCCESS && fd >= 0) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.ss_family == AF_UNIX) {
      return S_OK;
    }
  }
  return E_ADS_CONFIDENTIALITY_REQUIRED;
}

void Session::Close() {
  if (ld_) ld_.reset();
  if (state_ != State::Idle) ++generation_;
  state_ = State::Closed;
  facts_.reset();
}

void Session::MarkBroken() { broken_ = true; }

HRESULT Session::Ready() {
  const HRESULT opened = Open();
  if (Failed(opened)) return opened;
  if (broken_ || !ld_) return E_ADS_SERVER_DOWN;
  return S_OK;
}

HRESULT Session::SendSearch(const SearchRequest& request, LDAPControl* pageControl, int& msgid) {
  const HRESULT ready = Ready();
  if (Failed(ready)) return ready;
  std::vector<char*> attributes;
  for (const std::string& attribute : request.attributes) attributes.push_back(const_cast<char*>(attribute.c_str()));
  attributes.push_back(nullptr);
  std::vector<LDAPControl*> controls;
  if (pageControl != nullptr) controls.push_back(pageControl);
  ControlPtr scoped;
  if (!request.scopedAttribute.empty()) {
    // The attribute-scoped query control (critical): a server that does not
    // know it refuses the search instead of answering about the base alone.
    const EncoderPtr ber(ber_alloc_t(LBER_USE_DER));
    if (!ber) return E_OUTOFMEMORY;
    LDAPControl* raw = nullptr;
    if (ber_printf(ber.get(), "{s}", request.scopedAttribute.c_str()) == -1 ||
        ldap_control_create(kScopedQueryControl, 1, nullptr, 0, &raw) != LDAP_SUCCESS) {
      return E_OUTOFMEMORY;
    }
    scoped.reset(raw);
    if (ber_flatten2(ber.get(), &scoped->ldctl_value, 1) == -1) return E_OUTOFMEMORY;
    controls.push_back(scoped.get());
  }
  controls.push_back(nullptr);
  ++statistics_.searches;
  if (pageControl != nullptr) ++statistics_.pages;
  const int rc = ldap_search_ext(ld_.get(), request.base.c_str(), request.scope, request.filter.c_str(),
                                 request.attributes.empty() ? nullptr : attributes.data(), 0,
                                 controls.size() > 1 ? controls.data() : nullptr, nullptr, nullptr, 0, &msgid);
  if (rc != LDAP_SUCCESS) {
    if (ConnectionLost(rc)) MarkBroken();
    return StatusFromLdapResult(rc);
  }
  return S_OK;
}

HRESULT Session::Receive(int msgid, MessagePtr& message) {
  message.reset();
  if (broken_ || !ld_) return E_ADS_SERVER_DOWN;
  timeval timeout = operationTimeout_;
  LDAPMessage* raw = nullptr;
  const int type = ldap_result(ld_.get(), msgid, LDAP_MSG_ONE, &timeout, &raw);
  message.reset(raw);
  if (type == 0) {
    // Nothing arrived within the time-out: the server is not answering. The
    // connection is not trusted for anything after this.
    message.reset();
    ldap_abandon_ext(ld_.get(), msgid, nullptr, nullptr);
    MarkBroken();
    return E_ADS_TIMEOUT;
  }
  if (type < 0 || !message) {
    const int code = ResultCode(ld_.get());
    MarkBroken();
    return code == LDAP_SUCCESS ? E_ADS_SERVER_DOWN : StatusFromLdapResult(code);
  }
  return S_OK;
}

HRESULT Session::CreatePageControl(int pageSize, const std::string& cookie, ControlPtr& control) {
  control.reset();
  const HRESULT ready = Ready();
  if (Failed(ready)) return ready;
  berval value{static_cast<ber_len_t>(cookie.size()), const_cast<char*>(cookie.data())};
  // Critical: a server that cannot page must refuse rather than hand out a
  // result it cut.
  LDAPControl* raw = nullptr;
  const int rc = ldap_create_page_control(ld_.get(), pageSize > 0 ? pageSize : 1, &value, 1, &raw);
  control.reset(raw);
  if (rc != LDAP_SUCCESS || !control) return rc == LDAP_SUCCESS ? E_OUTOFMEMORY : StatusFromLdapResult(rc);
  return S_OK;
}

void Session::Abandon(int msgid, uint64_t generation) {
  if (!ld_ || broken_ || generation != generation_) return;
  ldap_abandon_ext(ld_.get(), msgid, nullptr, nullptr);
}

HRESULT Session::ParseEntry(LDAPMessage* message, Entry& entry) {
  entry = Entry{};
  // One pass over the entry, as ldapsearch reads it: the DN and each
  // attribute's name and values point into the message, and are copied once.
  // (Asking for each attribute's values by name rescans the entry each time.)
  BerElement* berRaw = nullptr;
  berval text{};
  if (ldap_get_dn_ber(ld_.get(), message, &berRaw, &text) != LDAP_SUCCESS) {
    const BerPtr ber(berRaw);
    return StatusFromLdapResult(ResultCode(ld_.get()));
  }
  const BerPtr ber(berRaw);
  entry.dn.assign(text.bv_val != nullptr ? text.bv_val : "", text.bv_len);
  while (true) {
    berval* valuesRaw = nullptr;
    if (ldap_get_attribute_ber(ld_.get(), message, ber.get(), &text, &valuesRaw) != LDAP_SUCCESS) {
      if (valuesRaw != nullptr) ber_memfree(valuesRaw);
      return E_ADS_DECODING_ERROR;
    }
    const std::unique_ptr<berval, decltype(&ber_memfree)> values(valuesRaw, &ber_memfree);
    if (text.bv_val == nullptr) break;
    Attribute attribute;
    attribute.name.assign(text.bv_val, text.bv_len);
    if (values) {
      for (const berval* value = values.get(); value->bv_val != nullptr; ++value) {
        attribute.values.emplace_back(value->bv_val, value->bv_len);
      }
    }
    entry.attributes.push_back(std::move(attribute));
  }
  return S_OK;
}

HRESULT Session::ParseResult(LDAPMessage* message, int& code, std::string* cookie) {
  code = LDAP_OTHER;
  if (cookie != nullptr) cookie->clear();
  char* matchedRaw = nullptr;
  char* textRaw = nullptr;
  char** referralsRaw = nullptr;
  LDAPControl** controlsRaw = nullptr;
  const int rc = ldap_parse_result(ld_.get(), message, &code, &matchedRaw, &textRaw, &referralsRaw,
                                   cookie != nullptr ? &controlsRaw : nullptr, 0);
  const LdapString matched(matchedRaw);
  const LdapString text(textRaw);
  const StringArrayPtr referrals(referralsRaw);
  const ControlsPtr controls(controlsRaw);
  if (rc != LDAP_SUCCESS) return StatusFromLdapResult(rc);
  if (cookie == nullptr || !controls) return S_OK;
  LDAPControl* page = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls.get(), nullptr);
  if (page == nullptr) return S_OK;
  ber_int_t estimate = 0;
  OwnedBerval value;
  if (ldap_parse_pageresponse_control(ld_.get(), page, &estimate, value.Out()) != LDAP_SUCCESS) {
    return E_ADS_DECODING_ERROR;
  }
  if (value.Get().bv_val != nullptr) cookie->assign(value.Get().bv_val, value.Get().bv_len);
  return S_OK;
}

HRESULT Session::Modify(const std::string& dn, LDAPMod** mods) {
  const HRESULT ready = Ready();
  if (Failed(ready)) return ready;
  ++statistics_.modifies;
  // Counted whatever the outcome: a modify that fails may still have been
  // applied before the reply was lost.
  written_[LowerAscii(dn)] = ++writeCount_;
  const int rc = ldap_modify_ext_s(ld_.get(), dn.c_str(), mods, nullptr, nullptr);
  if (ConnectionLost(rc)) MarkBroken();
  return StatusFromLdapResult(rc);
}

bool Session::WrittenSince(const std::string& dn, uint64_t mark) const {
  if (writeCount_ <= mark) return false;
  const auto found = written_.find(LowerAscii(dn));
  return found != written_.end() && found->second > mark;
}

HRESULT Session::Read(const std::string& dn, const std::vector<std::string>& attributes, Entry& entry,
                      const std::string& filter) {
  std::vector<Entry> entries;
  const HRESULT status =
      SearchAll(shared_from_this(), {dn, LDAP_SCOPE_BASE, filter, attributes, {}}, entries, SearchStream::Paging::Never);
  if (Failed(status)) return status;
  if (entries.empty()) return E_ADS_NO_SUCH_OBJECT;
  entry = std::move(entries.front());
  return S_OK;
}

HRESULT Session::Facts(const DomainFacts*& facts) {
  facts = nullptr;
  const HRESULT ready = Ready();
  if (Failed(ready)) return ready;
  if (!facts_) {
    Entry root;
    const HRESULT status = Read("", {"defaultNamingContext", "configurationNamingContext"}, root);
    if (Failed(status)) return status;
    NoteRootDse(root);
    if (!facts_) return E_ADS_PROPERTY_NOT_FOUND;
  }
  facts = &*facts_;
  return S_OK;
}

void Session::NoteRootDse(const Entry& root) {
  if (facts_) return;
  DomainFacts read;
  if (const std::string* value = root.First("defaultNamingContext")) read.defaultNamingContext = *value;
  if (const std::string* value = root.First("configurationNamingContext")) read.configurationNamingContext = *value;
  if (!read.defaultNamingContext.empty()) facts_ = std::move(read);
}

HRESULT Session::NetbiosName(std::string& name) {
  const DomainFacts* facts = nullptr;
  HRESULT status = Facts(facts);
  if (Failed(status)) return status;
  if (!facts_->netbiosLooked) {
    facts_->netbiosLooked = true;
    // The crossRef of the domain partition carries its NetBIOS name.
    const SearchRequest request{
        "CN=Partitions," + facts_->configurationNamingContext, LDAP_SCOPE_ONELEVEL,
        "(&(objectClass=crossRef)(nCName=" + EscapeFilterValue(facts_->defaultNamingContext) + "))", {"nETBIOSName"}, {}};
    std::vector<Entry> entries;
    status = SearchAll(shared_from_this(), request, entries, SearchStream::Paging::Never);
    for (const Entry& entry : entries) {
      const std::string* value = entry.First("nETBIOSName");
      if (value != nullptr && facts_->netbiosName.empty()) facts_->netbiosName = *value;
    }
    if (Succeeded(status) && facts_->netbiosName.empty()) status = E_ADS_NO_SUCH_OBJECT;
    facts_->netbiosStatus = status;
  }
  if (Failed(facts_->netbiosStatus)) return facts_->netbiosStatus;
  name = facts_->netbiosName;
  return S_OK;
}

std::string Session::BoundPrincipal() {
  char* raw = nullptr;
  if (ldap_get_option(ld_.get(), LDAP_OPT_X_SASL_USERNAME, &raw) == LDAP_OPT_SUCCESS && raw != nullptr) {
    const LdapString owned(raw);
    if (*owned != '\0') return owned.get();
  }
  return DefaultCachePrincipal();
}

HRESULT Session::CallerName(std::string& name) {
  const DomainFacts* facts = nullptr;
  HRESULT status = Facts(facts);
  if (Failed(status)) return status;
  const std::optional<Principal> principal = SplitPrincipal(BoundPrincipal());
  if (!principal) return E_ADS_PROPERTY_NOT_FOUND;
  const std::string base = facts->defaultNamingContext;
  // As the KDC: the account whose userPrincipalName is the principal (an
  // enterprise principal's name is itself a UPN), else, in the domain's own
  // realm, the account whose sAMAccountName is the principal's name.
  const bool enterprise = principal->name.find('@') != std::string::npos;
  std::vector<std::string> filters = {
      "(userPrincipalName=" + EscapeFilterValue(enterprise ? principal->name : principal->name + "@" + principal->realm) +
      ")"};
  char* domainRaw = nullptr;
  const bool ownRealm = ldap_dn2domain(base.c_str(), &domainRaw) == 0 && domainRaw != nullptr &&
                        EqualsIgnoreAsciiCase(domainRaw, principal->realm);
  const LdapString domain(domainRaw);
  if (!enterprise && ownRealm) filters.push_back("(sAMAccountName=" + EscapeFilterValue(principal->name) + ")");
  for (const std::string& filter : filters) {
    std::vector<Entry> entries;
    status = SearchAll(shared_from_this(), {base, LDAP_SCOPE_SUBTREE, "(&(objectClass=user)" + filter + ")",
                                            {"sAMAccountName"}, {}},
                       entries, SearchStream::Paging::Never);
    if (Failed(status)) return status;
    for (const Entry& entry : entries) {
      if (const std::string* sam = entry.First("sAMAccountName")) {
        name = *sam;
        return S_OK;
      }
    }
  }
  return E_ADS_NO_SUCH_OBJECT;
}

}  // namespace agewarden::ldap
