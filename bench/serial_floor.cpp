// serial_floor: the least LDAP work that the list and group cases can be
// done with, issued one request after another on one connection. It is the
// baseline agewarden's -l and -g runs are measured against.
//
//   serial_floor list  LISTFILE     one search per whitespace-separated name
//   serial_floor group SAMNAME      the members of a group, nested groups
//                                   included, then one search per member
//
// Both: ldap_initialize with the URI that ldap.conf / LDAPURI give, one
// SASL bind (the mechanism ldap.conf / LDAPSASL_MECH name, GSSAPI in the
// lab, with the invoking user's ticket), one read of the root DSE for
// defaultNamingContext, then for each name one synchronous
//   ldap_search_ext_s(base = defaultNamingContext, scope = subtree,
//     filter = (&(objectClass=user)(objectCategory=person)
//               (userPrincipalName=<name>@<dns domain>)),
//     attrs = name distinguishedName pwdLastSet userPrincipalName)
// whose returned values are all walked (ldap_get_values_len), as agewarden
// issues them. The dns domain comes from defaultNamingContext (DC=a,DC=b ->
// a.b).
//
// The group reads of `group`, and nothing more:
//   1. one subtree search (&(objectClass=group)(sAMAccountName=<SAMNAME>))
//      for the group's DN;
//   2. for each group met (the named one and every nested group, each once),
//      one search with the attribute-scoped-query control
//      (1.2.840.113556.1.4.1504, source attribute "member") on the group's
//      DN, which returns every member object with its objectClass and
//      sAMAccountName in the same request. Members that are groups are
//      walked in turn (depth first); the others are users and get the
//      per-name search above.
//
// Prints to stderr the counts of searches issued and of entries returned;
// nothing to stdout. Exit status 0 when every request succeeded.

#include <ldap.h>
#include <lber.h>
#include <sasl/sasl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

LDAP* ld = nullptr;
long searches = 0;
long entries = 0;

[[noreturn]] void Die(const char* what, int rc) {
  std::fprintf(stderr, "serial_floor: %s: %s\n", what, ldap_err2string(rc));
  std::exit(1);
}

int Interact(LDAP*, unsigned, void* defaults, void* in) {
  (void)defaults;
  // GSSAPI asks nothing but, perhaps, an authorization identity: none.
  for (auto* p = static_cast<sasl_interact_t*>(in); p->id != SASL_CB_LIST_END; ++p) {
    p->result = "";
    p->len = 0;
  }
  return LDAP_SUCCESS;
}

void Connect() {
  int rc = ldap_initialize(&ld, nullptr);
  if (rc != LDAP_SUCCESS) Die("ldap_initialize", rc);
  int version = LDAP_VERSION3;
  ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  char* mech = nullptr;
  ldap_get_option(ld, LDAP_OPT_X_SASL_MECH, &mech);
  rc = ldap_sasl_interactive_bind_s(ld, nullptr, mech != nullptr ? mech : "GSSAPI", nullptr, nullptr,
                                    LDAP_SASL_QUIET, Interact, nullptr);
  if (mech != nullptr) ldap_memfree(mech);
  if (rc != LDAP_SUCCESS) Die("SASL bind", rc);
}

// Runs one synchronous search; calls `each` for every entry.
template <typename Each>
void Search(const std::string& base, int scope, const std::string& filter, const char* const* attrs,
            LDAPControl** controls, Each each) {
  LDAPMessage* result = nullptr;
  ++searches;
  int rc = ldap_search_ext_s(ld, base.c_str(), scope, filter.c_str(), const_cast<char**>(attrs), 0, controls,
                             nullptr, nullptr, LDAP_NO_LIMIT, &result);
  if (rc != LDAP_SUCCESS && rc != LDAP_NO_SUCH_OBJECT) {
    if (result != nullptr) ldap_msgfree(result);
    Die(filter.c_str(), rc);
  }
  for (LDAPMessage* e = ldap_first_entry(ld, result); e != nullptr; e = ldap_next_entry(ld, e)) {
    ++entries;
    each(e);
  }
  ldap_msgfree(result);
}

std::vector<std::string> Values(LDAPMessage* entry, const char* attr) {
  std::vector<std::string> out;
  berval** values = ldap_get_values_len(ld, entry, attr);
  if (values == nullptr) return out;
  for (berval** v = values; *v != nullptr; ++v) out.emplace_back((*v)->bv_val, (*v)->bv_len);
  ldap_value_free_len(values);
  return out;
}

std::string namingContext;
std::string upnSuffix;

void ReadRootDse() {
  const char* attrs[] = {"defaultNamingContext", nullptr};
  Search("", LDAP_SCOPE_BASE, "(objectClass=*)", attrs, nullptr, [](LDAPMessage* e) {
    auto v = Values(e, "defaultNamingContext");
    if (!v.empty()) namingContext = v.front();
  });
  if (namingContext.empty()) Die("rootDSE", LDAP_NO_SUCH_ATTRIBUTE);
  upnSuffix = "@";
  size_t i = 0;
  while ((i = namingContext.find("DC=", i)) != std::string::npos) {
    size_t end = namingContext.find(',', i);
    if (upnSuffix.size() > 1) upnSuffix += '.';
    upnSuffix += namingContext.substr(i + 3, end == std::string::npos ? std::string::npos : end - i - 3);
    if (end == std::string::npos) break;
    i = end + 1;
  }
}

long usersFound = 0;

void SearchUser(const std::string& name) {
  static const char* attrs[] = {"name", "distinguishedName", "pwdLastSet", "userPrincipalName", nullptr};
  const std::string filter = "(&(objectClass=user)(objectCategory=person)(userPrincipalName=" + name + upnSuffix + "))";
  Search(namingContext, LDAP_SCOPE_SUBTREE, filter, attrs, nullptr, [](LDAPMessage* e) {
    ++usersFound;
    size_t bytes = 0;
    BerElement* ber = nullptr;
    for (char* a = ldap_first_attribute(ld, e, &ber); a != nullptr; a = ldap_next_attribute(ld, e, ber)) {
      for (const std::string& v : Values(e, a)) bytes += v.size();
      ldap_memfree(a);
    }
    if (ber != nullptr) ber_free(ber, 0);
    if (bytes == 0) std::fprintf(stderr, "serial_floor: empty entry\n");
  });
}

int RunList(const char* path) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "serial_floor: cannot open %s\n", path);
    return 1;
  }
  std::string word;
  while (in >> word) SearchUser(word);
  return 0;
}

std::set<std::string> walked;

void WalkGroup(const std::string& dn) {
  if (!walked.insert(dn).second) return;
  // Attribute-scoped query: the members of `dn`, as objects, in one request.
  berval value{};
  BerElement* ber = ber_alloc_t(LBER_USE_DER);
  ber_printf(ber, "{s}", "member");
  ber_flatten2(ber, &value, 0);
  LDAPControl control{const_cast<char*>("1.2.840.113556.1.4.1504"), value, 1};
  LDAPControl* controls[] = {&control, nullptr};
  const char* attrs[] = {"objectClass", "sAMAccountName", nullptr};
  std::vector<std::string> users;
  std::vector<std::string> groups;
  Search(dn, LDAP_SCOPE_BASE, "(objectClass=*)", attrs, controls, [&](LDAPMessage* e) {
    bool group = false;
    for (const std::string& c : Values(e, "objectClass")) group = group || strcasecmp(c.c_str(), "group") == 0;
    if (group) {
      char* memberDn = ldap_get_dn(ld, e);
      groups.emplace_back(memberDn);
      ldap_memfree(memberDn);
    } else {
      auto sam = Values(e, "sAMAccountName");
      if (!sam.empty()) users.push_back(sam.front());
    }
  });
  ber_free(ber, 1);
  for (const std::string& g : groups) WalkGroup(g);
  for (const std::string& u : users) SearchUser(u);
}

int RunGroup(const char* sam) {
  const char* attrs[] = {"distinguishedName", nullptr};
  std::string dn;
  Search(namingContext, LDAP_SCOPE_SUBTREE, std::string("(&(objectClass=group)(sAMAccountName=") + sam + "))", attrs,
         nullptr, [&](LDAPMessage* e) {
           char* d = ldap_get_dn(ld, e);
           dn = d;
           ldap_memfree(d);
         });
  if (dn.empty()) {
    std::fprintf(stderr, "serial_floor: no group %s\n", sam);
    return 1;
  }
  WalkGroup(dn);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "list") != 0 && std::strcmp(argv[1], "group") != 0)) {
    std::fprintf(stderr, "usage: serial_floor list LISTFILE | serial_floor group SAMNAME\n");
    return 2;
  }
  Connect();
  ReadRootDse();
  int status = std::strcmp(argv[1], "list") == 0 ? RunList(argv[2]) : RunGroup(argv[2]);
  std::fprintf(stderr, "serial_floor: %ld searches, %ld entries, %ld users found, %zu groups walked\n", searches,
               entries, usersFound, walked.size());
  ldap_unbind_ext_s(ld, nullptr, nullptr);
  return status;
}
