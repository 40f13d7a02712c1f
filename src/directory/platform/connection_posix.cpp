// The connection over libldap: ldap.conf and its environment name the server
// (or DNS SRV records locate one), and the bind is SASL (GSSAPI by default)
// with the invoking user's own Kerberos credentials.
#include <krb5.h>
#include <ldap.h>
#include <sasl/sasl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "directory/platform/connection.h"
#include "directory/platform/connection_parts.h"
#include "directory/platform/handles_posix.h"
#include "directory/platform/locate_posix.h"
#include "directory/platform/status.h"

namespace agewarden::ldap {
namespace {

// Defaults for the time-outs that ldap.conf may leave unset.
constexpr time_t kDefaultConnectSeconds = kConnectSeconds;
constexpr time_t kDefaultOperationSeconds = kOperationSeconds;
// The least SASL security-layer strength taken as protecting the traffic
// (what Cyrus SASL reports for a GSSAPI confidentiality layer).
constexpr ber_len_t kMinimumSsf = 56;

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

namespace {

// LDAP_SERVER_ASQ_OID: the attribute-scoped query control of Active Directory.
constexpr const char* kScopedQueryControl = "1.2.840.113556.1.4.1504";

static_assert(LDAP_RES_SEARCH_ENTRY == kSearchEntryMessage && LDAP_RES_SEARCH_RESULT == kSearchResultMessage &&
              LDAP_RES_MODIFY == kModifyResultMessage);

class LibldapConnection : public ConnectionParts<LibldapConnection> {
 public:
  LibldapConnection(LdapHandle ld, timeval operationTimeout) : ld_(std::move(ld)), operationTimeout_(operationTimeout) {}

  HRESULT Search(const SearchRequest& request, const PageRequest* page, int& msgid, bool& lost) override;
  void Abandon(int msgid) override { ldap_abandon_ext(ld_.get(), msgid, nullptr, nullptr); }
  std::string BoundPrincipal() override;

 private:
  friend class ConnectionParts<LibldapConnection>;
  using Mod = LDAPMod;
  using MessagePtr = ldap::MessagePtr;
  static constexpr int kBinaryValues = LDAP_MOD_BVALUES;
  static std::string ModName(const std::string& attribute) { return attribute; }
  static bool Lost(int code) { return ConnectionLost(code); }

  long Wait(int msgid, MessagePtr& message, bool wait);
  int LastResultCode() { return ResultCode(ld_.get()); }
  HRESULT ParseEntry(LDAPMessage* message, Entry& entry);
  HRESULT ParseResult(LDAPMessage* message, int& code, std::string& cookie);
  int SendModify(const std::string& dn, LDAPMod** mods, int& msgid) {
    return ldap_modify_ext(ld_.get(), dn.c_str(), mods, nullptr, nullptr, &msgid);
  }

  LdapHandle ld_;
  timeval operationTimeout_;
};

HRESULT LibldapConnection::Search(const SearchRequest& request, const PageRequest* page, int& msgid, bool& lost) {
  std::vector<char*> attributes;
  for (const std::string& attribute : request.attributes) attributes.push_back(const_cast<char*>(attribute.c_str()));
  attributes.push_back(nullptr);
  std::vector<LDAPControl*> controls;
  ControlPtr paged;
  if (page != nullptr) {
    berval cookie{static_cast<ber_len_t>(page->cookie.size()), const_cast<char*>(page->cookie.data())};
    // Critical: a server that cannot page must refuse rather than hand out a
    // result it cut.
    LDAPControl* raw = nullptr;
    const int rc = ldap_create_page_control(ld_.get(), page->size > 0 ? page->size : 1, &cookie, 1, &raw);
    paged.reset(raw);
    if (rc != LDAP_SUCCESS || !paged) return rc == LDAP_SUCCESS ? E_OUTOFMEMORY : StatusFromLdapResult(rc);
    controls.push_back(paged.get());
  }
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
  const int rc = ldap_search_ext(ld_.get(), request.base.c_str(), static_cast<int>(request.scope), request.filter.c_str(),
                                 request.attributes.empty() ? nullptr : attributes.data(), 0,
                                 controls.size() > 1 ? controls.data() : nullptr, nullptr, nullptr, 0, &msgid);
  lost = ConnectionLost(rc);
  return StatusFromLdapResult(rc);
}

long LibldapConnection::Wait(int msgid, MessagePtr& message, bool wait) {
  timeval timeout = wait ? operationTimeout_ : timeval{0, 0};
  LDAPMessage* raw = nullptr;
  const int type = ldap_result(ld_.get(), msgid, LDAP_MSG_ONE, &timeout, &raw);
  message.reset(raw);
  return type;
}

HRESULT LibldapConnection::ParseEntry(LDAPMessage* message, Entry& entry) {
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
  entry.attributes.reserve(8);
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

HRESULT LibldapConnection::ParseResult(LDAPMessage* message, int& code, std::string& cookie) {
  code = LDAP_OTHER;
  char* matchedRaw = nullptr;
  char* textRaw = nullptr;
  char** referralsRaw = nullptr;
  LDAPControl** controlsRaw = nullptr;
  const int rc = ldap_parse_result(ld_.get(), message, &code, &matchedRaw, &textRaw, &referralsRaw, &controlsRaw, 0);
  const LdapString matched(matchedRaw);
  const LdapString text(textRaw);
  const StringArrayPtr referrals(referralsRaw);
  const ControlsPtr controls(controlsRaw);
  if (rc != LDAP_SUCCESS) return StatusFromLdapResult(rc);
  if (!controls) return S_OK;
  LDAPControl* page = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls.get(), nullptr);
  if (page == nullptr) return S_OK;
  ber_int_t estimate = 0;
  OwnedBerval value;
  if (ldap_parse_pageresponse_control(ld_.get(), page, &estimate, value.Out()) != LDAP_SUCCESS) {
    return E_ADS_DECODING_ERROR;
  }
  if (value.Get().bv_val != nullptr) cookie.assign(value.Get().bv_val, value.Get().bv_len);
  return S_OK;
}

std::string LibldapConnection::BoundPrincipal() {
  char* raw = nullptr;
  if (ldap_get_option(ld_.get(), LDAP_OPT_X_SASL_USERNAME, &raw) == LDAP_OPT_SUCCESS && raw != nullptr) {
    const LdapString owned(raw);
    if (*owned != '\0') return owned.get();
  }
  return DefaultCachePrincipal();
}

// A connection protected by a SASL security layer of 56 bits or more, by
// TLS, or local (ldapi://).
HRESULT CheckProtection(LDAP* ld) {
  ber_len_t ssf = 0;
  if (ldap_get_option(ld, LDAP_OPT_X_SASL_SSF, &ssf) != LDAP_OPT_SUCCESS) ssf = 0;
  if (ssf >= kMinimumSsf) return S_OK;
  if (ldap_tls_inplace(ld) != 0) return S_OK;
  // ldapi:// is a local socket: nothing crosses a network.
  ber_socket_t fd = -1;
  if (ldap_get_option(ld, LDAP_OPT_DESC, &fd) == LDAP_OPT_SUCCESS && fd >= 0) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.ss_family == AF_UNIX) {
      return S_OK;
    }
  }
  return E_ADS_CONFIDENTIALITY_REQUIRED;
}

}  // namespace

HRESULT OpenConnection(std::unique_ptr<Connection>& out) {
  out.reset();
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
  const timeval operationTimeout = TimeoutOption(ld.get(), LDAP_OPT_TIMEOUT, kDefaultOperationSeconds);
  ldap_set_option(ld.get(), LDAP_OPT_NETWORK_TIMEOUT, &connectTimeout);
  // Synchronous calls (the bind, the modify) wait at most this long too.
  ldap_set_option(ld.get(), LDAP_OPT_TIMEOUT, &operationTimeout);

  rc = ldap_connect(ld.get());
  if (rc != LDAP_SUCCESS) return E_ADS_SERVER_DOWN;
  LimitBlockingReads(ld.get(), operationTimeout);

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

  rc = ldap_sasl_interactive_bind_s(ld.get(), nullptr, mechanism, nullptr, nullptr, LDAP_SASL_QUIET, AnswerNothing,
                                    nullptr);
  if (rc != LDAP_SUCCESS) {
    // A failure inside SASL (no ticket, unknown mechanism) comes back as a
    // local error; the caller sees that the bind was refused.
    if (rc == LDAP_LOCAL_ERROR || rc == LDAP_AUTH_UNKNOWN || rc == LDAP_PARAM_ERROR) return E_ADS_INVALID_CREDENTIALS;
    return StatusFromLdapResult(rc);
  }
  const HRESULT protection = CheckProtection(ld.get());
  if (Failed(protection)) return protection;
  out = std::make_unique<LibldapConnection>(std::move(ld), operationTimeout);
  return S_OK;
}

}  // namespace agewarden::ldap
