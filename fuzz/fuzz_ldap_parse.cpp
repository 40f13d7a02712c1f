// Fuzzes what the LDAP backend still parses by hand: range options, SID bytes
// and text, filter escapes, and what it picks out of the DNs
// libldap splits. The first byte chooses the family; each checks properties
// (what is parsed prints back to the same), not only that nothing crashes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "directory/backend/attributes.h"
#include "directory/backend/dn.h"
#include "directory/backend/filter.h"
#include "directory/backend/sid.h"

using namespace agewarden::ldap;

#define CHECK(condition) \
  if (!(condition)) std::abort()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string in(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 4) {
    case 0:
      if (const auto r = ParseRangedName(in)) {
        const std::string canonical = r->attribute + ";range=" + std::to_string(r->low) + "-" +
                                      (r->last ? "*" : std::to_string(r->high));
        const auto again = ParseRangedName(canonical);
        CHECK(again && again->attribute == r->attribute && again->low == r->low && again->last == r->last);
        CHECK(r->last || (again->high == r->high && r->high >= r->low));
      }
      if (const auto n = ParseLargeInteger(in)) CHECK(in.find_first_not_of("-0123456789") == std::string::npos);
      break;
    case 1:
      if (const auto text = SidToText(in)) {
        CHECK(SidFromText(*text) == in);
        CHECK(SidRid(in).has_value() == (in.size() > 8));
      }
      if (const auto bytes = SidFromText(in)) CHECK(SidToText(*bytes) && SidFromText(*SidToText(*bytes)) == bytes);
      break;
    case 2:
      CHECK(EscapeFilterValue(in).find_first_of(std::string("*()\0", 4)) == std::string::npos);
      break;
    case 3:
      CHECK(FirstRdnValue(in).size() <= in.size() && DomainLabelOfDn(in).size() <= in.size());
      CHECK(DnIsWithin(in, "") && (FirstRdnValue(in).empty() || DnIsWithin(in, in)));
      break;
  }
  return 0;
}
