// The connection over Wldap32, as the logged-on user: the server is LDAPURI
// when it is set, else a domain controller of the machine's domain that
// DsGetDcNameW locates; the bind is Negotiate (Kerberos) with no name and no
// password. Text crosses Wldap32's W functions as UTF-16.
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "common/utf16.h"
#include "directory/platform/connection.h"
#include "directory/platform/connection_parts.h"
#include "directory/platform/status.h"

// After the project's headers: <windows.h> makes macros of names such as
// S_OK and E_FAIL, with the same values.
// clang-format off
#include <windows.h>
#include <winldap.h>
#include <winber.h>
#include <dsgetdc.h>
#include <lm.h>
#define SECURITY_WIN32
#include <security.h>
// clang-format on

namespace agewarden::ldap {
namespace {

// LDAP_SERVER_ASQ_OID: the attribute-scoped query control of Active Directory.
const wchar_t kScopedQueryControl[] = L"1.2.840.113556.1.4.1504";

struct LdapDeleter {
  void operator()(LDAP* ld) const { ldap_unbind(ld); }
};
using LdapHandle = std::unique_ptr<LDAP, LdapDeleter>;

struct MessageDeleter {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using MessagePtr = std::unique_ptr<LDAPMessage, MessageDeleter>;

struct WideDeleter {
  void operator()(wchar_t* text) const { ldap_memfreeW(text); }
};
using WidePtr = std::unique_ptr<wchar_t, WideDeleter>;

struct ControlDeleter {
  void operator()(LDAPControlW* control) const { ldap_control_freeW(control); }
};
using ControlPtr = std::unique_ptr<LDAPControlW, ControlDeleter>;

struct ControlsDeleter {
  void operator()(LDAPControlW** controls) const { ldap_controls_freeW(controls); }
};
using ControlsPtr = std::unique_ptr<LDAPControlW*, ControlsDeleter>;

struct ValuesDeleter {
  void operator()(berval** values) const { ldap_value_free_len(values); }
};
using ValuesPtr = std::unique_ptr<berval*, ValuesDeleter>;

struct EncoderDeleter {
  // A BerElement we encode into owns its buffer.
  void operator()(BerElement* ber) const { ber_free(ber, 1); }
};
using EncoderPtr = std::unique_ptr<BerElement, EncoderDeleter>;

struct BervalDeleter {
  void operator()(berval* value) const { ber_bvfree(value); }
};
using BervalPtr = std::unique_ptr<berval, BervalDeleter>;

static_assert(LDAP_RES_SEARCH_ENTRY == kSearchEntryMessage && LDAP_RES_SEARCH_RESULT == kSearchResultMessage &&
              LDAP_RES_MODIFY == kModifyResultMessage);

bool ConnectionLost(ULONG code) { return code == LDAP_SERVER_DOWN || code == LDAP_CONNECT_ERROR || code == LDAP_TIMEOUT; }

HRESULT Status(ULONG code) { return StatusFromLdapResult(static_cast<int>(code)); }

// Whole seconds from the environment, as libldap reads LDAPNETWORK_TIMEOUT
// and LDAPTIMEOUT on POSIX (a decimal number above zero and nothing after
// it); unset or anything else is `fallback`. Wldap32 reads neither itself.
LONG SecondsFromEnvironment(const char* name, LONG fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr) return fallback;
  char* end = nullptr;
  const long seconds = std::strtol(value, &end, 10);
  return end != value && *end == '\0' && seconds > 0 ? seconds : fallback;
}

// The server to reach: "ldap://host[:port]" or "ldaps://host[:port]" from
// LDAPURI, else the domain controller DsGetDcNameW finds for the machine's
// domain (as a serverless ADSI bind does).
struct Server {
  std::wstring host;
  ULONG port = LDAP_PORT;
  bool tls = false;
};

HRESULT LocateServer(Server& server) {
  const char* uri = std::getenv("LDAPURI");
  if (uri != nullptr && *uri != '\0') {
    std::string_view text(uri);
    text = text.substr(0, text.find_first_of(" ,"));  // the first of a list
    if (text.starts_with("ldaps://")) {
      server.tls = true;
      server.port = LDAP_SSL_PORT;
      text.remove_prefix(8);
    } else if (text.starts_with("ldap://")) {
      text.remove_prefix(7);
    } else {
      return E_ADS_BAD_PATHNAME;
    }
    text = text.substr(0, text.find('/'));
    const size_t colon = text.rfind(':');
    if (colon != std::string_view::npos && text.find(']', colon) == std::string_view::npos) {
      const std::string port(text.substr(colon + 1));
      char* end = nullptr;
      const unsigned long value = std::strtoul(port.c_str(), &end, 10);
      if (port.empty() || *end != '\0' || value == 0 || value > 65535) return E_ADS_BAD_PATHNAME;
      server.port = value;
      text = text.substr(0, colon);
    }
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    server.host = Utf8ToWide(text);
    return server.host.empty() ? E_ADS_BAD_PATHNAME : S_OK;
  }
  PDOMAIN_CONTROLLER_INFOW info = nullptr;
  const DWORD rc = DsGetDcNameW(nullptr, nullptr, nullptr, nullptr,
                                DS_DIRECTORY_SERVICE_REQUIRED | DS_RETURN_DNS_NAME, &info);
  if (rc != ERROR_SUCCESS || info == nullptr) return E_ADS_SERVER_DOWN;
  const wchar_t* name = info->DomainControllerName;
  while (name != nullptr && *name == L'\\') ++name;
  server.host = name != nullptr ? name : L"";
  NetApiBufferFree(info);
  return server.host.empty() ? E_ADS_SERVER_DOWN : S_OK;
}

// The credentials of the bind. The release build passes none: Negotiate
// takes the logged-on user's. A build for testing under Wine (which cannot
// bind as the logged-on user) passes the identity its environment names.
#ifdef AGEWARDEN_TEST_IDENTITY
struct TestIdentity {
  std::wstring user = Utf8ToWide(std::getenv("AGEWARDEN_TEST_USER") ? std::getenv("AGEWARDEN_TEST_USER") : "");
  std::wstring domain = Utf8ToWide(std::getenv("AGEWARDEN_TEST_DOMAIN") ? std::getenv("AGEWARDEN_TEST_DOMAIN") : "");
  std::wstring password = Utf8ToWide(std::getenv("AGEWARDEN_TEST_PASSWORD") ? std::getenv("AGEWARDEN_TEST_PASSWORD") : "");
  SEC_WINNT_AUTH_IDENTITY_W identity{};
  TestIdentity() {
    identity.User = reinterpret_cast<unsigned short*>(user.data());
    identity.UserLength = static_cast<unsigned long>(user.size());
    identity.Domain = reinterpret_cast<unsigned short*>(domain.data());
    identity.DomainLength = static_cast<unsigned long>(domain.size());
    identity.Password = reinterpret_cast<unsigned short*>(password.data());
    identity.PasswordLength = static_cast<unsigned long>(password.size());
    identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
  }
};
constexpr bool kCheckSealing = false;  // Wine answers the sealing options "not supported"
#else
constexpr bool kCheckSealing = true;
#endif

ULONG Bind(LDAP* ld) {
#ifdef AGEWARDEN_TEST_IDENTITY
  // Never freed: a bind given up on (see BindWithin) may still read it.
  static TestIdentity* test = new TestIdentity;
  return ldap_bind_sW(ld, nullptr, reinterpret_cast<PWCHAR>(&test->identity), LDAP_AUTH_NEGOTIATE);
#else
  return ldap_bind_sW(ld, nullptr, nullptr, LDAP_AUTH_NEGOTIATE);
#endif
}

// ldap_bind_sW takes no time-out, and nothing in Wldap32 bounds it: against
// a server that accepts the connection and then never answers, it would
// wait forever. It runs on a thread of its own, waited for at most
// `seconds`. A bind still running then keeps the handle (it may still be
// using it, so nothing unbinds or frees it) and the open fails as a wait
// for an answer that timed out does.
HRESULT BindWithin(LdapHandle& ld, LONG seconds) {
  std::packaged_task<ULONG(LDAP*)> bind(Bind);
  std::future<ULONG> done = bind.get_future();
  std::thread(std::move(bind), ld.get()).detach();
  if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    static_cast<void>(ld.release());
    return E_ADS_TIMEOUT;
  }
  const ULONG rc = done.get();
  if (rc == LDAP_SUCCESS) return S_OK;
  return rc == LDAP_LOCAL_ERROR ? E_ADS_INVALID_CREDENTIALS : Status(rc);
}

class WldapConnection : public ConnectionParts<WldapConnection> {
 public:
  WldapConnection(LdapHandle ld, LONG operationSeconds) : ld_(std::move(ld)), operationSeconds_(operationSeconds) {}

  HRESULT Search(const SearchRequest& request, const PageRequest* page, int& msgid, bool& lost) override;
  void Abandon(int msgid) override { ldap_abandon(ld_.get(), static_cast<ULONG>(msgid)); }
  std::string BoundPrincipal() override;

 private:
  friend class ConnectionParts<WldapConnection>;
  using Mod = LDAPModW;
  using MessagePtr = ldap::MessagePtr;
  static constexpr int kBinaryValues = LDAP_MOD_BVALUES;
  static std::wstring ModName(const std::string& attribute) { return Utf8ToWide(attribute); }
  static bool Lost(int code) { return ConnectionLost(static_cast<ULONG>(code)); }

  long Wait(int msgid, MessagePtr& message, bool wait);
  int LastResultCode() { return static_cast<int>(LdapGetLastError()); }
  HRESULT ParseEntry(LDAPMessage* message, Entry& entry);
  HRESULT ParseResult(LDAPMessage* message, int& code, std::string& cookie);
  int SendModify(const std::string& dn, LDAPModW** mods, int& msgid);

  LdapHandle ld_;
  LONG operationSeconds_;
};

HRESULT WldapConnection::Search(const SearchRequest& request, const PageRequest* page, int& msgid, bool& lost) {
  std::vector<std::wstring> names;
  for (const std::string& attribute : request.attributes) names.push_back(Utf8ToWide(attribute));
  std::vector<PWCHAR> attributes;
  for (std::wstring& name : names) attributes.push_back(name.data());
  attributes.push_back(nullptr);
  std::vector<LDAPControlW*> controls;
  ControlPtr paged;
  if (page != nullptr) {
    berval cookie{static_cast<ULONG>(page->cookie.size()), const_cast<char*>(page->cookie.data())};
    // Critical: a server that cannot page must refuse rather than hand out a
    // result it cut.
    LDAPControlW* raw = nullptr;
    const ULONG rc = ldap_create_page_controlW(ld_.get(), page->size > 0 ? page->size : 1, &cookie, TRUE, &raw);
    paged.reset(raw);
    if (rc != LDAP_SUCCESS || !paged) return rc == LDAP_SUCCESS ? E_OUTOFMEMORY : Status(rc);
    controls.push_back(paged.get());
  }
  BervalPtr scopedValue;
  LDAPControlW scoped{};
  if (!request.scopedAttribute.empty()) {
    // The attribute-scoped query control (critical): a server that does not
    // know it refuses the search instead of answering about the base alone.
    // Its value is the BER sequence of the attribute's name.
    const EncoderPtr ber(ber_alloc_t(LBER_USE_DER));
    if (!ber) return E_OUTOFMEMORY;
    berval* value = nullptr;
    const bool encoded = ber_printf(ber.get(), const_cast<PSTR>("{s}"), request.scopedAttribute.c_str()) != -1 &&
                         ber_flatten(ber.get(), &value) == 0;
    scopedValue.reset(value);
    if (!encoded || !scopedValue) return E_OUTOFMEMORY;
    scoped.ldctl_oid = const_cast<PWCHAR>(kScopedQueryControl);
    scoped.ldctl_value = *scopedValue;
    scoped.ldctl_iscritical = TRUE;
    controls.push_back(&scoped);
  }
  controls.push_back(nullptr);
  std::wstring base = Utf8ToWide(request.base), filter = Utf8ToWide(request.filter);
  ULONG number = 0;
  const ULONG rc = ldap_search_extW(ld_.get(), base.data(), static_cast<ULONG>(request.scope), filter.data(),
                                    request.attributes.empty() ? nullptr : attributes.data(), 0,
                                    controls.size() > 1 ? controls.data() : nullptr, nullptr, 0, 0, &number);
  msgid = static_cast<int>(number);
  lost = ConnectionLost(rc);
  return Status(rc);
}

long WldapConnection::Wait(int msgid, MessagePtr& message, bool wait) {
  l_timeval timeout{wait ? operationSeconds_ : 0, 0};
  LDAPMessage* raw = nullptr;
  const ULONG type = ldap_result(ld_.get(), static_cast<ULONG>(msgid), LDAP_MSG_ONE, &timeout, &raw);
  message.reset(raw);
  return type == static_cast<ULONG>(-1) ? -1 : static_cast<long>(type);
}

HRESULT WldapConnection::ParseEntry(LDAPMessage* message, Entry& entry) {
  const WidePtr dn(ldap_get_dnW(ld_.get(), message));
  if (!dn) return Status(LdapGetLastError());
  entry.dn = WideToUtf8(dn.get());
  BerElement* ber = nullptr;
  for (WidePtr name(ldap_first_attributeW(ld_.get(), message, &ber)); name;
       name.reset(ldap_next_attributeW(ld_.get(), message, ber))) {
    Attribute attribute;
    attribute.name = WideToUtf8(name.get());
    const ValuesPtr values(ldap_get_values_lenW(ld_.get(), message, name.get()));
    for (berval** value = values.get(); value != nullptr && *value != nullptr; ++value) {
      attribute.values.emplace_back((*value)->bv_val, (*value)->bv_len);
    }
    entry.attributes.push_back(std::move(attribute));
  }
  if (ber != nullptr) ber_free(ber, 0);
  return S_OK;
}

HRESULT WldapConnection::ParseResult(LDAPMessage* message, int& code, std::string& cookie) {
  ULONG result = LDAP_OTHER;
  PLDAPControlW* controlsRaw = nullptr;
  const ULONG rc = ldap_parse_resultW(ld_.get(), message, &result, nullptr, nullptr, nullptr, &controlsRaw, FALSE);
  const ControlsPtr controls(controlsRaw);
  code = static_cast<int>(result);
  if (rc != LDAP_SUCCESS) return Status(rc);
  if (!controls) return S_OK;
  ULONG estimate = 0;
  berval* raw = nullptr;
  const ULONG parsed = ldap_parse_page_controlW(ld_.get(), controls.get(), &estimate, &raw);
  const BervalPtr value(raw);
  // Controls without a page control answer an unpaged search; a page
  // control that cannot be read fails the search.
  if (parsed == LDAP_CONTROL_NOT_FOUND) return S_OK;
  if (parsed != LDAP_SUCCESS) return E_ADS_DECODING_ERROR;
  if (value && value->bv_val != nullptr) cookie.assign(value->bv_val, value->bv_len);
  return S_OK;
}

int WldapConnection::SendModify(const std::string& dn, LDAPModW** mods, int& msgid) {
  std::wstring target = Utf8ToWide(dn);
  ULONG number = 0;
  const ULONG rc = ldap_modify_extW(ld_.get(), target.data(), mods, nullptr, nullptr, &number);
  msgid = static_cast<int>(number);
  return static_cast<int>(rc);
}

std::string WldapConnection::BoundPrincipal() {
  // The logged-on user's principal name ("name@REALM").
  wchar_t name[512];
  ULONG size = sizeof name / sizeof name[0];
  if (!GetUserNameExW(NameUserPrincipal, name, &size)) return {};
  return WideToUtf8(name);
}

}  // namespace

HRESULT OpenConnection(std::unique_ptr<Connection>& out) {
  out.reset();
  Server server;
  HRESULT status = LocateServer(server);
  if (Failed(status)) return status;
  LdapHandle ld(server.tls ? ldap_sslinitW(server.host.data(), server.port, 1)
                           : ldap_initW(server.host.data(), server.port));
  if (!ld) return E_ADS_SERVER_DOWN;
  const ULONG version = LDAP_VERSION3;
  ldap_set_optionW(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_optionW(ld.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  // Over ldap:// the Negotiate bind must sign and seal what follows; inside
  // TLS Active Directory refuses a layer of its own, and TLS protects.
  if (!server.tls && kCheckSealing) {
    ldap_set_optionW(ld.get(), LDAP_OPT_SIGN, LDAP_OPT_ON);
    ldap_set_optionW(ld.get(), LDAP_OPT_ENCRYPT, LDAP_OPT_ON);
  }
  // The time-outs of both builds: reaching the server, and each wait for an
  // answer, the bind's included.
  const LONG connectSeconds = SecondsFromEnvironment("LDAPNETWORK_TIMEOUT", kConnectSeconds);
  const LONG operationSeconds = SecondsFromEnvironment("LDAPTIMEOUT", kOperationSeconds);
  l_timeval connectTimeout{connectSeconds, 0};
  if (ldap_connect(ld.get(), &connectTimeout) != LDAP_SUCCESS) return E_ADS_SERVER_DOWN;
  status = BindWithin(ld, operationSeconds);
  if (Failed(status)) return status;
  if (!server.tls && kCheckSealing) {
    void* sealed = LDAP_OPT_OFF;
    if (ldap_get_optionW(ld.get(), LDAP_OPT_ENCRYPT, &sealed) != LDAP_SUCCESS || sealed == LDAP_OPT_OFF) {
      return E_ADS_CONFIDENTIALITY_REQUIRED;
    }
  }
  out = std::make_unique<WldapConnection>(std::move(ld), operationSeconds);
  return S_OK;
}

}  // namespace agewarden::ldap
