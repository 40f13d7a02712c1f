#include "directory/backend/dn.h"

#include "common/text.h"
#include "directory/platform/dn_split.h"

namespace agewarden::ldap {

std::string FirstRdnValue(std::string_view dn) {
  const auto rdns = SplitDn(dn);
  if (!rdns || rdns->empty()) return {};
  return rdns->front().front().value;
}

std::string DomainLabelOfDn(std::string_view dn) {
  const auto rdns = SplitDn(dn);
  if (!rdns) return {};
  for (const DnRdn& rdn : *rdns) {
    const DnAva& ava = rdn.front();
    if (!EqualsIgnoreAsciiCase(ava.type, "DC") || ava.value.empty()) continue;
    std::string label = ava.value.substr(0, ava.value.find('.'));
    for (char& c : label) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    return label;
  }
  return {};
}

bool DnIsWithin(std::string_view dn, std::string_view suffix) {
  if (suffix.empty()) return true;
  const auto outer = SplitDn(suffix);
  const auto inner = SplitDn(dn);
  if (!outer || !inner || inner->size() < outer->size()) return false;
  // From the end, as a DN names its outermost RDN last.
  for (size_t i = 1; i <= outer->size(); ++i) {
    const DnRdn& a = (*inner)[inner->size() - i];
    const DnRdn& b = (*outer)[outer->size() - i];
    if (a.size() != b.size()) return false;
    for (size_t ava = 0; ava < a.size(); ++ava) {
      if (!EqualsIgnoreAsciiCase(a[ava].type, b[ava].type) || !EqualsIgnoreAsciiCase(a[ava].value, b[ava].value)) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace agewarden::ldap
