// serial_floor: the least LDAP work that the list and group cases can be
// done with, on one connection. It is the baseline agewarden's -l and -g
// runs are measured against, in two forms: one request after another, and
// many names per request with several requests in flight.
//
//   serial_floor list  LISTFILE     one search per whitespace-separated name
//   serial_floor group SAMNAME      the members of a group, nested groups
//                                   included, then one search per member
//   serial_floor list-bulk  LISTFILE [PER_SEARCH [IN_FLIGHT]]
//   serial_floor group-bulk SAMNAME  [PER_SEARCH [IN_FLIGHT]]
//                                   the same names, PER_SEARCH (default
//                                   200) to a search, IN_FLIGHT (default 4)
//                                   searches outstanding at a time
//
// All: ldap_initialize with the URI that ldap.conf / LDAPURI give, one
// SASL bind (the mechanism ldap.conf / LDAPSASL_MECH name, GSSAPI in the
// lab, with the invoking user's ticket), one read of the root DSE for
// defaultNamingContext. Then `list` and `group` make, for each name, one
// synchronous
//   ldap_search_ext_s(base = defaultNamingContext, scope = subtree,
//     filter = (&(objectClass=user)(objectCategory=person)
//               (userPrincipalName=<name>@<dns domain>)),
//     attrs = name distinguishedName pwdLastSet userPrincipalName)
// whose returned values are all walked (ldap_get_values_len), as agewarden
// issues them. The dns domain comes from defaultNamingContext (DC=a,DC=b ->
// a.b).
//
// The bulk forms send, with ldap_search_ext, one search per PER_SEARCH
// names in the order the names come, with the same base, scope and
// attributes and the filter
//   (&(|(userPrincipalName=<a>@<dns domain>)(userPrincipalName=<b>@...)...)
//     (objectClass=user)(objectCategory=person))
// keeping IN_FLIGHT of them outstanding: each result read (ldap_result, one
// message at a time) is walked as above, and each search's end sends the
// next. Names that repeat are asked once.
//
// The group reads of `group` and `group-bulk`, and nothing more:
//   1. one subtree search (&(objectClass=group)(sAMAccountName=<SAMNAME>))
//      for the group's DN;
//   2. for each group met (the named one and every nested group, each once),
//      one search with the attribute-scoped-query control
//      (1.2.840.113556.1.4.1504, source attribute "member") on the group's
//      DN, which returns every member object with its objectClass and
//      sAMAccountName in the same request. Members that are groups are
//      walked in turn (depth first); the others are users and get the
//      per-name search above (`group`: after each group's read; `group-bulk`:
//      the batched searches once the walk is done).
//
// Prints to stderr the counts of searches issued and of entries returned;
// nothing to stdout. Exit status 0 when every request succeeded.

#include <ldap.h>
#include <lber.h>
#include <sasl/sasl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <unordered_set>
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

const char* const kUserAttrs[] = {"name", "distinguishedName", "pwdLastSet", "userPrincipalName", nullptr};

// Every value of a found user's entry, walked once.
void WalkUser(LDAPMessage* e) {
  ++usersFound;
  size_t bytes = 0;
  BerElement* ber = nullptr;
  for (char* a = ldap_first_attribute(ld, e, &ber); a != nullptr; a = ldap_next_attribute(ld, e, ber)) {
    for (const std::string& v : Values(e, a)) bytes += v.size();
    ldap_memfree(a);
  }
  if (ber != nullptr) ber_free(ber, 0);
  if (bytes == 0) std::fprintf(stderr, "serial_floor: empty entry\n");
}

void SearchUser(const std::string& name) {
  const std::string filter = "(&(objectClass=user)(objectCategory=person)(userPrincipalName=" + name + upnSuffix + "))";
  Search(namingContext, LDAP_SCOPE_SUBTREE, filter, kUserAttrs, nullptr, WalkUser);
}

// The bulk form: names go out kPerSearch to a search, kInFlight searches
// outstanding; a search's end sends the next.
size_t perSearch = 200;
size_t inFlight = 4;
std::vector<std::string> pending;  // names not yet sent
size_t nextPending = 0;

void SendBatch(std::set<int>& outstanding) {
  std::string filter = "(&(|";
  const size_t end = std::min(pending.size(), nextPending + perSearch);
  for (; nextPending < end; ++nextPending) filter += "(userPrincipalName=" + pending[nextPending] + upnSuffix + ")";
  filter += ")(objectClass=user)(objectCategory=person))";
  int msgid = 0;
  ++searches;
  int rc = ldap_search_ext(ld, namingContext.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(),
                           const_cast<char**>(kUserAttrs), 0, nullptr, nullptr, nullptr, LDAP_NO_LIMIT, &msgid);
  if (rc != LDAP_SUCCESS) Die("ldap_search_ext", rc);
  outstanding.insert(msgid);
}

void SearchUsersBulk(const std::vector<std::string>& names) {
  std::unordered_set<std::string> seen;
  pending.clear();
  nextPending = 0;
  for (const std::string& n : names) {
    if (seen.insert(n).second) pending.push_back(n);
  }
  std::set<int> outstanding;
  while (nextPending < pending.size() && outstanding.size() < inFlight) SendBatch(outstanding);
  while (!outstanding.empty()) {
    LDAPMessage* msg = nullptr;
    int type = ldap_result(ld, LDAP_RES_ANY, LDAP_MSG_ONE, nullptr, &msg);
    if (type <= 0) {
      int err = LDAP_OTHER;
      ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &err);
      Die("ldap_result", err);
    }
    if (type == LDAP_RES_SEARCH_ENTRY) {
      ++entries;
      WalkUser(msg);
    } else if (type == LDAP_RES_SEARCH_RESULT) {
      int rc = LDAP_OTHER;
      ldap_parse_result(ld, msg, &rc, nullptr, nullptr, nullptr, nullptr, 0);
      if (rc != LDAP_SUCCESS && rc != LDAP_NO_SUCH_OBJECT) Die("bulk search", rc);
      outstanding.erase(ldap_msgid(msg));
      if (nextPending < pending.size()) SendBatch(outstanding);
    }
    ldap_msgfree(msg);
  }
}

bool bulk = false;

int RunList(const char* path) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "serial_floor: cannot open %s\n", path);
    return 1;
  }
  std::string word;
  std::vector<std::string> names;
  while (in >> word) {
    if (bulk) {
      names.push_back(word);
    } else {
      SearchUser(word);
    }
  }
  if (bulk) SearchUsersBulk(names);
  return 0;
}

std::set<std::string> walked;
std::vector<std::string> groupUsers;  // group-bulk: every member user, in walk order

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
  for (const std::string& u : users) {
    if (bulk) {
      groupUsers.push_back(u);
    } else {
      SearchUser(u);
    }
  }
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
  if (bulk) SearchUsersBulk(groupUsers);
  return 0;
}

size_t Count(const char* text) {
  char* end = nullptr;
  const unsigned long n = std::strtoul(text, &end, 10);
  if (*end != '\0' || n == 0 || n > 100000) {
    std::fprintf(stderr, "serial_floor: not a count from 1 to 100000: %s\n", text);
    std::exit(2);
  }
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc >= 3 ? argv[1] : "";
  const bool known = mode == "list" || mode == "group" || mode == "list-bulk" || mode == "group-bulk";
  bulk = mode.ends_with("-bulk");
  if (!known || argc > (bulk ? 5 : 3)) {
    std::fprintf(stderr,
                 "usage: serial_floor list LISTFILE | serial_floor group SAMNAME\n"
                 "       serial_floor list-bulk LISTFILE [PER_SEARCH [IN_FLIGHT]]\n"
                 "       serial_floor group-bulk SAMNAME [PER_SEARCH [IN_FLIGHT]]\n");
    return 2;
  }
  if (argc >= 4) perSearch = Count(argv[3]);
  if (argc >= 5) inFlight = Count(argv[4]);
  Connect();
  ReadRootDse();
  int status = mode.starts_with("list") ? RunList(argv[2]) : RunGroup(argv[2]);
  std::fprintf(stderr, "serial_floor: %ld searches, %ld entries, %ld users found, %zu groups walked\n", searches,
               entries, usersFound, walked.size());
  ldap_unbind_ext_s(ld, nullptr, nullptr);
  return status;
}
