// DNs split by libldap (ldap_bv2dn, LDAP_DN_FORMAT_LDAP).
#include <ldap.h>

#include "directory/platform/dn_split.h"
#include "directory/platform/handles_posix.h"

namespace agewarden::ldap {

std::optional<std::vector<DnRdn>> SplitDn(std::string_view text) {
  // ldap_bv2dn reads up to a '\0' past bv_len (a hex or quoted value runs on
  // to it), so it gets a copy that ends in one.
  std::string copy(text);
  berval value{static_cast<ber_len_t>(copy.size()), copy.data()};
  LDAPDN raw = nullptr;
  if (ldap_bv2dn(&value, &raw, LDAP_DN_FORMAT_LDAP) != LDAP_SUCCESS) return std::nullopt;
  const DnPtr dn(raw);  // null for an empty DN
  std::vector<DnRdn> rdns;
  for (size_t i = 0; dn && dn.get()[i] != nullptr; ++i) {
    DnRdn& rdn = rdns.emplace_back();
    for (size_t k = 0; dn.get()[i][k] != nullptr; ++k) {
      const LDAPAVA* ava = dn.get()[i][k];
      DnAva& part = rdn.emplace_back();
      part.type.assign(ava->la_attr.bv_val, ava->la_attr.bv_len);
      part.hex = (ava->la_flags & LDAP_AVA_BINARY) != 0;
      if (!part.hex) {
        // An empty value ("CN=") comes with no buffer at all.
        if (ava->la_value.bv_len != 0) part.value.assign(ava->la_value.bv_val, ava->la_value.bv_len);
        continue;
      }
      // libldap decodes a "#" value; it is given back as '#' and the
      // upper-case hex digits of its bytes.
      static constexpr char kHex[] = "0123456789ABCDEF";
      part.value = "#";
      for (ber_len_t b = 0; b < ava->la_value.bv_len; ++b) {
        const auto byte = static_cast<unsigned char>(ava->la_value.bv_val[b]);
        part.value += kHex[byte >> 4];
        part.value += kHex[byte & 0x0F];
      }
    }
  }
  return rdns;
}

}  // namespace agewarden::ldap
