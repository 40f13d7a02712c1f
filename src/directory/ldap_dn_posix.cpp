#include "directory/ldap_dn.h"

#include <ldap.h>

#include "common/text.h"
#include "directory/ldap_handles.h"

namespace agewarden::ldap {
namespace {

// The RDNs of DN text, outermost last; null when it is not a DN. An empty
// DN has no RDNs: libldap gives null for it too, so `ok` tells them apart.
DnPtr Split(std::string_view text, bool& ok) {
  berval value{static_cast<ber_len_t>(text.size()), const_cast<char*>(text.data())};
  LDAPDN dn = nullptr;
  ok = ldap_bv2dn(&value, &dn, LDAP_DN_FORMAT_LDAP) == LDAP_SUCCESS;
  return DnPtr(ok ? dn : nullptr);
}

size_t Count(const DnPtr& dn) {
  size_t count = 0;
  while (dn && dn.get()[count] != nullptr) ++count;
  return count;
}

std::string_view Text(const berval& value) { return {value.bv_val, value.bv_len}; }

}  // namespace

std::string FirstRdnValue(std::string_view dn) {
  bool ok = false;
  const DnPtr rdns = Split(dn, ok);
  if (Count(rdns) == 0) return {};
  const LDAPAVA* ava = rdns.get()[0][0];
  if ((ava->la_flags & LDAP_AVA_BINARY) == 0) return std::string(Text(ava->la_value));
  // libldap decodes a "#" hex value; the name is the text as written, which
  // holds no escapes: from after the '=' to the next separator.
  const size_t start = dn.find('=') + 1;
  std::string_view value = dn.substr(start, dn.find_first_of(",;+", start) - start);
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
  return std::string(value);
}

std::string DomainLabelOfDn(std::string_view dn) {
  bool ok = false;
  const DnPtr rdns = Split(dn, ok);
  for (size_t i = 0; i < Count(rdns); ++i) {
    const LDAPAVA* ava = rdns.get()[i][0];
    if (!EqualsIgnoreAsciiCase(Text(ava->la_attr), "DC") || ava->la_value.bv_len == 0) continue;
    std::string label(Text(ava->la_value).substr(0, Text(ava->la_value).find('.')));
    for (char& c : label) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    return label;
  }
  return {};
}

bool DnIsWithin(std::string_view dn, std::string_view suffix) {
  if (suffix.empty()) return true;
  bool ok = false;
  const DnPtr outer = Split(suffix, ok);
  if (!ok) return false;
  const DnPtr inner = Split(dn, ok);
  if (!ok) return false;
  const size_t outerCount = Count(outer);
  const size_t innerCount = Count(inner);
  if (innerCount < outerCount) return false;
  // From the end, as a DN names its outermost RDN last.
  for (size_t i = 1; i <= outerCount; ++i) {
    LDAPRDN a = inner.get()[innerCount - i];
    LDAPRDN b = outer.get()[outerCount - i];
    size_t ava = 0;
    for (; a[ava] != nullptr && b[ava] != nullptr; ++ava) {
      if (!EqualsIgnoreAsciiCase(Text(a[ava]->la_attr), Text(b[ava]->la_attr)) ||
          !EqualsIgnoreAsciiCase(Text(a[ava]->la_value), Text(b[ava]->la_value))) {
        return false;
      }
    }
    if (a[ava] != nullptr || b[ava] != nullptr) return false;
  }
  return true;
}

}  // namespace agewarden::ldap
