// The DN routines on Windows. Wldap32 splits DNs only into escaped text
// (ldap_explode_dn), so the text is read here: RDNs separated by ',' or ';',
// attribute-value pairs by '+', values with RFC 4514 escapes ("\,", "\2C")
// or in RFC 1779 double quotes; a "#" hex value is kept as written. Text
// that is not a DN (an unescaped '"' inside a value, a type that is neither
// a name nor an OID, a dangling escape) names nothing, as libldap decides.
#include <optional>
#include <vector>

#include "common/text.h"
#include "directory/ldap_dn.h"

namespace agewarden::ldap {
namespace {

struct Ava {
  std::string type;
  std::string value;
  bool hex = false;  // a "#" value, as written
};
using Rdn = std::vector<Ava>;

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

// The RDNs of DN text, innermost first; nothing when it is not a DN.
std::optional<std::vector<Rdn>> Split(std::string_view text) {
  std::vector<Rdn> rdns;
  size_t i = 0;
  const auto skipBlanks = [&] {
    while (i < text.size() && text[i] == ' ') ++i;
  };
  skipBlanks();
  if (i == text.size()) return rdns;
  Rdn rdn;
  while (true) {
    Ava ava;
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

}  // namespace

std::string FirstRdnValue(std::string_view dn) {
  const auto rdns = Split(dn);
  if (!rdns || rdns->empty()) return {};
  return rdns->front().front().value;
}

std::string DomainLabelOfDn(std::string_view dn) {
  const auto rdns = Split(dn);
  if (!rdns) return {};
  for (const Rdn& rdn : *rdns) {
    const Ava& ava = rdn.front();
    if (!EqualsIgnoreAsciiCase(ava.type, "DC") || ava.value.empty()) continue;
    std::string label = ava.value.substr(0, ava.value.find('.'));
    for (char& c : label) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    return label;
  }
  return {};
}

bool DnIsWithin(std::string_view dn, std::string_view suffix) {
  if (suffix.empty()) return true;
  const auto outer = Split(suffix);
  const auto inner = Split(dn);
  if (!outer || !inner || inner->size() < outer->size()) return false;
  // From the end, as a DN names its outermost RDN last.
  for (size_t i = 1; i <= outer->size(); ++i) {
    const Rdn& a = (*inner)[inner->size() - i];
    const Rdn& b = (*outer)[outer->size() - i];
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
