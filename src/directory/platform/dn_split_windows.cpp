// DNs split by hand on Windows: Wldap32 splits DNs only into escaped text
// (ldap_explode_dn). RDNs are separated by ',' or ';', attribute-value pairs
// by '+', values carry RFC 4514 escapes ("\,", "\2C") or RFC 1779 double
// quotes; a "#" hex value is kept as written. Text that is not a DN (an
// unescaped '"' inside a value, a type that is neither a name nor an OID, a
// dangling escape) names nothing, as libldap decides.
#include "directory/platform/dn_split.h"

namespace agewarden::ldap {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ValidType(std::string_view type) {
  if (type.empty()) return false;
  const bool oid = type[0] >= '0' && type[0] <= '9';
  for (char c : type) {
    const bool digit = c >= '0' && c <= '9';
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (oid ? !(digit || c == '.') : !(digit || letter || c == '-')) return false;
  }
  return oid || (type[0] != '-');
}

}  // namespace

std::optional<std::vector<DnRdn>> SplitDn(std::string_view text) {
  std::vector<DnRdn> rdns;
  size_t i = 0;
  const auto skipBlanks = [&] {
    while (i < text.size() && text[i] == ' ') ++i;
  };
  skipBlanks();
  if (i == text.size()) return rdns;
  DnRdn rdn;
  while (true) {
    DnAva ava;
    skipBlanks();
    while (i < text.size() && text[i] != '=') ava.type += text[i++];
    while (!ava.type.empty() && ava.type.back() == ' ') ava.type.pop_back();
    if (i == text.size() || !ValidType(ava.type)) return std::nullopt;
    ++i;  // '='
    skipBlanks();
    if (i < text.size() && text[i] == '#') {
      ava.hex = true;
      while (i < text.size() && text[i] != ',' && text[i] != ';' && text[i] != '+' && text[i] != ' ') ava.value += text[i++];
    } else if (i < text.size() && text[i] == '"') {
      ++i;
      while (i < text.size() && text[i] != '"') {
        if (text[i] == '\\') {
          if (++i == text.size()) return std::nullopt;
        }
        ava.value += text[i++];
      }
      if (i == text.size()) return std::nullopt;
      ++i;  // closing '"'
    } else {
      size_t kept = 0;  // the value's length up to its last escaped or non-blank byte
      while (i < text.size() && text[i] != ',' && text[i] != ';' && text[i] != '+') {
        if (text[i] == '"') return std::nullopt;
        if (text[i] == '\\') {
          if (++i == text.size()) return std::nullopt;
          const int high = HexDigit(text[i]);
          if (high >= 0 && i + 1 < text.size() && HexDigit(text[i + 1]) >= 0) {
            ava.value += static_cast<char>(high * 16 + HexDigit(text[i + 1]));
            i += 2;
          } else {
            ava.value += text[i++];
          }
          kept = ava.value.size();
          continue;
        }
        ava.value += text[i++];
        if (ava.value.back() != ' ') kept = ava.value.size();
      }
      ava.value.resize(kept);
    }
    skipBlanks();
    rdn.push_back(std::move(ava));
    if (i == text.size()) break;
    const char separator = text[i++];
    if (separator == '+') continue;
    if (separator != ',' && separator != ';') return std::nullopt;
    rdns.push_back(std::move(rdn));
    rdn.clear();
  }
  rdns.push_back(std::move(rdn));
  return rdns;
}

}  // namespace agewarden::ldap
