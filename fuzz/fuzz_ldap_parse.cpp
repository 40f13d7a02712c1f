// Fuzzes the LDAP backend's handling of what a server sends and of the paths
// and filters it builds: ranged attribute names, integer text, SID bytes and
// text, filter escapes, DN text, WinNT:// and LDAP:// paths, krb5.conf text,
// DNS host lists, and the columns of a search row. The first byte chooses
// the family; the rest is its input. Each family checks properties, not only
// that nothing crashes: what is parsed prints back to something that parses
// to the same, escapes undo, SID text starts with "S-1-".
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "directory/ldap_columns.h"
#include "directory/ldap_entry.h"
#include "directory/ldap_parse.h"
#include "directory/ldap_status.h"

namespace {

using namespace agewarden;
using namespace agewarden::ldap;

#define CHECK(condition)                                                   \
  do {                                                                     \
    if (!(condition)) {                                                    \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      __builtin_trap();                                                    \
    }                                                                      \
  } while (0)

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "\xx" escapes back to bytes; nothing when an escape is not "\" + two hex
// digits.
bool Unescape(std::string_view text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

std::string HexEscaped(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    out += '\\';
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
  }
  return out;
}

// RDNs as DN text, every value byte escaped.
std::string FormatDn(const std::vector<Rdn>& rdns, size_t from = 0) {
  std::string dn;
  for (size_t i = from; i < rdns.size(); ++i) {
    if (i > from) dn += ',';
    dn += rdns[i].type + "=" + HexEscaped(rdns[i].value);
  }
  return dn;
}

bool SameRdns(const std::vector<Rdn>& a, const std::vector<Rdn>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].type != b[i].type || a[i].value != b[i].value) return false;
  }
  return true;
}

void RangedNames(const std::string& description) {
  const auto ranged = ParseRangedName(description);
  if (!ranged) return;
  CHECK(!ranged->attribute.empty());
  CHECK(ranged->last || ranged->high >= ranged->low);
  CHECK(AttributeType(ranged->attribute) == AttributeType(description));
  CHECK(LowerAscii(description).find(";range=") != std::string::npos);
  // The same slice named the canonical way parses to the same.
  const std::string canonical = ranged->attribute + ";range=" + std::to_string(ranged->low) + "-" +
                                (ranged->last ? std::string("*") : std::to_string(ranged->high));
  const auto again = ParseRangedName(canonical);
  CHECK(again && again->attribute == ranged->attribute && again->low == ranged->low && again->last == ranged->last &&
        (ranged->last || again->high == ranged->high));
}

void Integers(const std::string& text, FuzzedDataProvider& numbers) {
  bool shaped = !text.empty();
  for (size_t i = 0; i < text.size(); ++i) {
    if (!(IsDigit(text[i]) || (i == 0 && text[i] == '-' && text.size() > 1))) shaped = false;
  }
  const auto large = ParseLargeInteger(text);
  if (shaped) {
    // strtoll agrees, overflow included.
    errno = 0;
    const long long expected = std::strtoll(text.c_str(), nullptr, 10);
    const bool overflow = errno == ERANGE;
    CHECK(large.has_value() == !overflow);
    CHECK(!large || *large == expected);
  } else {
    CHECK(!large);
  }
  if (large) CHECK(ParseLargeInteger(std::to_string(*large)) == large);

  const auto small = ParseInteger32(text);
  if (large && *large >= INT32_MIN && *large <= static_cast<int64_t>(UINT32_MAX)) {
    CHECK(small && *small == static_cast<int32_t>(static_cast<uint32_t>(*large)));
  } else {
    CHECK(!small);
  }

  // Numbers printed by the server's rules parse back.
  const int64_t any = numbers.ConsumeIntegral<int64_t>();
  CHECK(ParseLargeInteger(std::to_string(any)) == any);
  const int32_t flags = numbers.ConsumeIntegral<int32_t>();
  CHECK(ParseInteger32(std::to_string(flags)) == flags);
  CHECK(ParseInteger32(std::to_string(static_cast<uint32_t>(flags))) == flags);

  CHECK(!(IsLargeIntegerAttribute(text) && IsInteger32Attribute(text)));
  CHECK(IsLargeIntegerAttribute(text) == IsLargeIntegerAttribute(LowerAscii(text)));
  CHECK(IsInteger32Attribute(text) == IsInteger32Attribute(LowerAscii(text)));

  // Every result code and libldap error but success is a failure.
  const int code = numbers.ConsumeIntegral<int>();
  CHECK(code == 0 ? StatusFromLdapResult(code) == S_OK : Failed(StatusFromLdapResult(code)));
  for (int known = -20; known <= 130; ++known) {
    CHECK(known == 0 ? StatusFromLdapResult(known) == S_OK : Failed(StatusFromLdapResult(known)));
  }
}

void Sids(const std::string& input, FuzzedDataProvider& numbers) {
  // The input as SID bytes.
  const auto text = SidToText(input);
  if (text) {
    CHECK(text->rfind("S-1-", 0) == 0);
    CHECK(SidFromText(*text) == input);
    const size_t count = static_cast<unsigned char>(input[1]);
    const auto rid = SidRid(input);
    const auto domain = SidDomainPart(input);
    CHECK(rid.has_value() == (count > 0) && domain.has_value() == (count > 0));
    if (count > 0) {
      CHECK(SidToText(*domain));
      CHECK(SidWithRid(*domain, *rid) == input);
    }
    const uint32_t extra = numbers.ConsumeIntegral<uint32_t>();
    const std::string longer = SidWithRid(input, extra);
    if (count < 15) {
      CHECK(SidRid(longer) == extra && SidDomainPart(longer) == input);
    } else {
      CHECK(longer.empty());
    }
  } else {
    CHECK(!SidRid(input) && !SidDomainPart(input) && SidWithRid(input, 1).empty());
  }
  // The input as SID text.
  const auto bytes = SidFromText(input);
  if (bytes) {
    const auto printed = SidToText(*bytes);
    CHECK(printed && printed->rfind("S-1-", 0) == 0);
    CHECK(SidFromText(*printed) == bytes);
    CHECK(EscapeFilterBytes(*bytes).size() == 3 * bytes->size());
  }
}

void FilterEscapes(const std::string& value) {
  const std::string escaped = EscapeFilterValue(value);
  CHECK(escaped.find_first_of(std::string("*()\0", 4)) == std::string::npos);
  std::string back;
  CHECK(Unescape(escaped, back) && back == value);
  const std::string bytes = EscapeFilterBytes(value);
  CHECK(bytes.size() == 3 * value.size());
  CHECK(Unescape(bytes, back) && back == value);
}

void Dns(const std::string& dn) {
  const auto rdns = SplitDn(dn);
  const std::string first = FirstRdnValue(dn);
  CHECK(FirstRdnText(dn).size() <= dn.size());
  CHECK(DnIsWithin(dn, ""));
  CHECK(SameText(dn, LowerAscii(dn)) && LowerAscii(LowerAscii(dn)) == LowerAscii(dn));
  // Within the text after one of its commas (and the blanks after it) unless
  // that comma is escaped by an odd run of backslashes.
  for (size_t comma = dn.find(','), seen = 0; comma != std::string::npos && seen < 8;
       comma = dn.find(',', comma + 1), ++seen) {
    size_t start = comma + 1;
    while (start < dn.size() && dn[start] == ' ') ++start;
    if (start >= dn.size()) continue;
    size_t backslashes = 0;
    while (backslashes < comma && dn[comma - 1 - backslashes] == '\\') ++backslashes;
    CHECK(DnIsWithin(dn, dn.substr(start)) == (backslashes % 2 == 0));
    CHECK(DnIsWithin(dn, LowerAscii(dn.substr(start))) == (backslashes % 2 == 0));
  }
  if (!rdns) {
    CHECK(first.empty() && DnsDomainOfDn(dn).empty());
    return;
  }
  std::string domain;
  for (const Rdn& rdn : *rdns) {
    CHECK(!rdn.type.empty());
    CHECK(rdn.type.find_first_of(",;+\"\\=") == std::string::npos);
    CHECK(rdn.type.front() != ' ' && rdn.type.back() != ' ');
    if (SameText(rdn.type, "DC") && !rdn.value.empty()) domain += (domain.empty() ? "" : ".") + LowerAscii(rdn.value);
  }
  CHECK(first == (rdns->empty() ? std::string() : rdns->front().value));
  CHECK(DnsDomainOfDn(dn) == domain);
  // Printed with every value byte escaped, it splits to the same RDNs; and it
  // lies within each of its own suffixes.
  const std::string printed = FormatDn(*rdns);
  const auto again = SplitDn(printed);
  CHECK(again && SameRdns(*again, *rdns));
  CHECK(DnIsWithin(printed, printed));
  for (size_t from = 1; from < rdns->size(); ++from) {
    const std::string suffix = FormatDn(*rdns, from);
    CHECK(DnIsWithin(printed, suffix));
    CHECK(!DnIsWithin(suffix, printed));
  }
}

void Paths(const std::string& path) {
  if (const auto winnt = ParseWinNtPath(path)) {
    if (winnt->kind == WinNtPath::Kind::Sid) {
      CHECK(SidFromText(winnt->name));
      CHECK("WinNT://" + winnt->name == path);
    } else {
      CHECK(!winnt->domain.empty() && !winnt->name.empty());
      CHECK(winnt->domain.find('/') == std::string::npos && winnt->name.find_first_of("/,") == std::string::npos);
      CHECK("WinNT://" + winnt->domain + "/" + winnt->name + (winnt->className.empty() ? "" : "," + winnt->className) ==
            path);
    }
  }
  const auto ldap = ParseLdapPath(path);
  if (ldap) {
    CHECK(path.rfind("LDAP://", 0) == 0);
    if (ldap->rootDse) {
      CHECK(SameText(path.substr(7), "rootDSE") && ldap->dn.empty());
    } else {
      CHECK("LDAP://" + ldap->dn == path && !ldap->dn.empty());
    }
  } else {
    CHECK(path.rfind("LDAP://", 0) != 0 || path.size() == 7);
  }
}

void Configuration(const std::string& text) {
  const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  const Krb5ConfigScan scan = ScanKrb5Config(text);
  if (scan.defaultRealm) {
    CHECK(!scan.defaultRealm->empty());
    CHECK(!isBlank(scan.defaultRealm->front()) && !isBlank(scan.defaultRealm->back()));
    CHECK(text.find(*scan.defaultRealm) != std::string::npos);
  }
  for (const auto* list : {&scan.includes, &scan.includeDirs}) {
    for (const std::string& item : *list) {
      CHECK(item.empty() || (!isBlank(item.front()) && !isBlank(item.back())));
      CHECK(text.find(item) != std::string::npos);
    }
  }
  // Host lists: one URI per host, in order.
  const std::string uris = HostListToUris(text);
  std::string hosts;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) hosts += (hosts.empty() ? "" : " ") + text.substr(start, end - start);
    start = end + 1;
  }
  std::string stripped;
  for (size_t start = 0; start < uris.size();) {
    size_t end = uris.find(" ldap://", start);
    if (end == std::string::npos) end = uris.size();
    CHECK(uris.compare(start, 7, "ldap://") == 0);
    stripped += (stripped.empty() ? "" : " ") + uris.substr(start + 7, end - start - 7);
    start = end + 1;
  }
  CHECK(stripped == hosts);
}

const char* const kNames[] = {
    "pwdLastSet", "PWDLASTSET", "userAccountControl", "member;range=0-1499", "member", "name",
    "objectClass", "distinguishedName", "ADsPath", "adspath", "userPrincipalName", "uSNChanged;x",
};

std::string SomeName(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return kNames[in.ConsumeIntegralInRange<size_t>(0, std::size(kNames) - 1)];
  return in.ConsumeRandomLengthString(24);
}

void Columns(FuzzedDataProvider& in) {
  Entry entry;
  entry.dn = in.ConsumeRandomLengthString(64);
  const size_t attributes = in.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < attributes; ++i) {
    Attribute attribute{SomeName(in), {}};
    const size_t values = in.ConsumeIntegralInRange<size_t>(0, 4);
    for (size_t v = 0; v < values; ++v) {
      attribute.values.push_back(in.ConsumeBool() ? std::to_string(in.ConsumeIntegral<int64_t>())
                                                  : in.ConsumeRandomLengthString(24));
    }
    entry.attributes.push_back(std::move(attribute));
  }
  std::vector<std::string> requested;
  const size_t asked = in.ConsumeIntegralInRange<size_t>(0, 6);
  for (size_t i = 0; i < asked; ++i) requested.push_back(SomeName(in));

  const std::vector<ReportedColumn> columns = ReportColumns(entry, requested);
  if (requested.empty()) {
    CHECK(columns.size() == entry.attributes.size());
    for (size_t i = 0; i < columns.size(); ++i) {
      CHECK(columns[i].attribute == &entry.attributes[i] && columns[i].name == entry.attributes[i].name);
    }
  }
  for (size_t i = 0; i < columns.size(); ++i) {
    const ReportedColumn& column = columns[i];
    if (!requested.empty()) {
      bool wasAsked = false;
      for (const std::string& name : requested) wasAsked = wasAsked || name == column.name;
      CHECK(wasAsked);
      for (size_t j = 0; j < i; ++j) CHECK(!SameText(columns[j].name, column.name));
    }
    if (column.attribute != nullptr) {
      CHECK(requested.empty() || SameText(column.name, column.attribute->name) ||
            SameText(column.name, AttributeType(column.attribute->name)));
    } else if (SameText(column.name, "ADsPath")) {
      CHECK(column.made == std::vector<std::string>{"LDAP://" + entry.dn});
    } else {
      CHECK(SameText(column.name, "distinguishedName") && column.made == std::vector<std::string>{entry.dn});
    }

    Column out;
    const HRESULT status = ColumnValues(column, out);
    CHECK(out.name == column.name);
    const std::vector<std::string>& source = column.attribute ? column.attribute->values : column.made;
    const bool large = column.attribute && IsLargeIntegerAttribute(AttributeType(column.attribute->name));
    bool allNumbers = true;
    for (const std::string& value : source) allNumbers = allNumbers && ParseLargeInteger(value).has_value();
    if (large && !allNumbers) {
      CHECK(status == E_ADS_CANT_CONVERT_DATATYPE && out.values.empty());
      continue;
    }
    CHECK(status == S_OK && out.values.size() == source.size());
    for (size_t v = 0; v < source.size(); ++v) {
      if (large) {
        CHECK(std::get<int64_t>(out.values[v]) == *ParseLargeInteger(source[v]));
      } else {
        CHECK(std::get<std::string>(out.values[v]) == source[v]);
      }
    }
  }

  // Lookups by attribute type: the first attribute of that type.
  for (const char* type : {"member", "pwdLastSet", "objectClass", "name"}) {
    const Attribute* found = entry.Find(type);
    const Attribute* expected = nullptr;
    for (const Attribute& attribute : entry.attributes) {
      if (SameText(AttributeType(attribute.name), type)) {
        expected = &attribute;
        break;
      }
    }
    CHECK(found == expected);
    const std::string* first = entry.First(type);
    CHECK(first == (expected && !expected->values.empty() ? &expected->values.front() : nullptr));
  }
  const std::string wanted = in.ConsumeRandomLengthString(16);
  bool hasClass = false;
  if (const Attribute* classes = entry.Find("objectClass")) {
    for (const std::string& value : classes->values) hasClass = hasClass || SameText(value, wanted);
  }
  CHECK(entry.HasClass(wanted) == hasClass);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  FuzzedDataProvider rest(data + 1, size - 1);
  switch (data[0] % 8) {
    case 0: RangedNames(input); break;
    case 1: Integers(input, rest); break;
    case 2: Sids(input, rest); break;
    case 3: FilterEscapes(input); break;
    case 4: Dns(input); break;
    case 5: Paths(input); break;
    case 6: Configuration(input); break;
    case 7: Columns(rest); break;
  }
  return 0;
}
