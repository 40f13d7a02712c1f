#include "directory/ldap_parse.h"

#include <cstdio>

namespace agewarden::ldap {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

std::string_view Trim(std::string_view text) {
  size_t start = 0;
  while (start < text.size() && (text[start] == ' ' || text[start] == '\t' || text[start] == '\r')) ++start;
  size_t end = text.size();
  while (end > start && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r')) --end;
  return text.substr(start, end - start);
}

// Decimal digits only, at most 2^32-1.
std::optional<uint32_t> ParseUnsigned32(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

// Decimal digits only, at most `limit`.
std::optional<uint64_t> ParseUnsignedUpTo(std::string_view text, uint64_t limit) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (limit - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

uint32_t ReadLittleEndian32(std::string_view bytes, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
}

void AppendLittleEndian32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// The sub-authority count of well-formed SID bytes; nothing otherwise.
std::optional<size_t> SidCount(std::string_view bytes) {
  if (bytes.size() < 8) return std::nullopt;
  if (static_cast<unsigned char>(bytes[0]) != 1) return std::nullopt;
  const size_t count = static_cast<unsigned char>(bytes[1]);
  if (count > 15) return std::nullopt;
  if (bytes.size() != 8 + 4 * count) return std::nullopt;
  return count;
}

constexpr std::string_view kLargeIntegerAttributes[] = {
    "accountExpires",
    "badPasswordTime",
    "creationTime",
    "forceLogoff",
    "highestCommittedUSN",
    "lastLogoff",
    "lastLogon",
    "lastLogonTimestamp",
    "lastSetTime",
    "lockoutDuration",
    "lockOutObservationWindow",
    "lockoutTime",
    "maxPwdAge",
    "minPwdAge",
    "modifiedCount",
    "modifiedCountAtLastProm",
    "msDS-Cached-Membership-Time-Stamp",
    "msDS-LastFailedInteractiveLogonTime",
    "msDS-LastSuccessfulInteractiveLogonTime",
    "msDS-LockoutDuration",
    "msDS-LockoutObservationWindow",
    "msDS-MaximumPasswordAge",
    "msDS-MinimumPasswordAge",
    "msDS-UserPasswordExpiryTimeComputed",
    "priorSetTime",
    "pwdLastSet",
    "uSNChanged",
    "uSNCreated",
};

constexpr std::string_view kInteger32Attributes[] = {
    "adminCount",
    "badPwdCount",
    "codePage",
    "countryCode",
    "groupType",
    "instanceType",
    "lockoutThreshold",
    "logonCount",
    "minPwdLength",
    "msDS-SupportedEncryptionTypes",
    "msDS-User-Account-Control-Computed",
    "primaryGroupID",
    "pwdHistoryLength",
    "pwdProperties",
    "sAMAccountType",
    "systemFlags",
    "userAccountControl",
    "nTMixedDomain",
};

// Parses one attribute value of a DN component starting at `at`, up to an
// unescaped ',' ';' or '+'. Sets `at` past the value.
bool ParseRdnValue(std::string_view dn, size_t& at, std::string& value) {
  value.clear();
  while (at < dn.size() && dn[at] == ' ') ++at;
  if (at < dn.size() && dn[at] == '"') {
    // RFC 1779 quoted string: everything to the closing quote, with
    // backslash escaping the next character.
    ++at;
    bool closed = false;
    while (at < dn.size()) {
      const char c = dn[at];
      if (c == '\\') {
        if (at + 1 >= dn.size()) return false;
        value.push_back(dn[at + 1]);
        at += 2;
        continue;
      }
      if (c == '"') {
        closed = true;
        ++at;
        break;
      }
      value.push_back(c);
      ++at;
    }
    if (!closed) return false;
    while (at < dn.size() && dn[at] == ' ') ++at;
    return at == dn.size() || dn[at] == ',' || dn[at] == ';' || dn[at] == '+';
  }
  // Unquoted: escapes are "\" + two hex digits (one byte) or "\" + any
  // character. Trailing unescaped spaces are not part of the value.
  size_t keep = 0;  // length of the value up to its last escaped or non-space character
  while (at < dn.size()) {
    const char c = dn[at];
    if (c == ',' || c == ';' || c == '+') break;
    if (c == '\\') {
      if (at + 1 >= dn.size()) return false;
      const int high = HexValue(dn[at + 1]);
      const int low = at + 2 < dn.size() ? HexValue(dn[at + 2]) : -1;
      if (high >= 0 && low >= 0) {
        value.push_back(static_cast<char>(high * 16 + low));
        at += 3;
      } else {
        value.push_back(dn[at + 1]);
        at += 2;
      }
      keep = value.size();
      continue;
    }
    value.push_back(c);
    if (c != ' ') keep = value.size();
    ++at;
  }
  value.resize(keep);
  return true;
}

}  // namespace

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Lower(c);
  return out;
}

std::string_view AttributeType(std::string_view description) {
  const size_t semicolon = description.find(';');
  return semicolon == std::string_view::npos ? description : description.substr(0, semicolon);
}

std::optional<RangedName> ParseRangedName(std::string_view description) {
  RangedName ranged;
  bool found = false;
  size_t start = 0;
  bool first = true;
  while (start <= description.size()) {
    size_t end = description.find(';', start);
    if (end == std::string_view::npos) end = description.size();
    const std::string_view part = description.substr(start, end - start);
    if (first) {
      if (part.empty()) return std::nullopt;
      ranged.attribute.assign(part);
      first = false;
    } else if (StartsWithIgnoreCase(part, "range=")) {
      if (found) return std::nullopt;
      found = true;
      const std::string_view bounds = part.substr(6);
      const size_t dash = bounds.find('-');
      if (dash == std::string_view::npos) return std::nullopt;
      const auto low = ParseUnsigned32(bounds.substr(0, dash));
      if (!low) return std::nullopt;
      ranged.low = *low;
      const std::string_view high = bounds.substr(dash + 1);
      if (high == "*") {
        ranged.last = true;
      } else {
        const auto parsed = ParseUnsigned32(high);
        if (!parsed || *parsed < *low) return std::nullopt;
        ranged.high = *parsed;
      }
    } else {
      if (part.empty()) return std::nullopt;
      ranged.attribute.push_back(';');
      ranged.attribute.append(part);
    }
    start = end + 1;
  }
  if (!found) return std::nullopt;
  return ranged;
}

std::optional<int64_t> ParseLargeInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  constexpr uint64_t kMaxPositive = 9223372036854775807ull;
  const auto magnitude = ParseUnsignedUpTo(text, negative ? kMaxPositive + 1 : kMaxPositive);
  if (!magnitude) return std::nullopt;
  if (!negative) return static_cast<int64_t>(*magnitude);
  if (*magnitude == kMaxPositive + 1) return INT64_MIN;
  return -static_cast<int64_t>(*magnitude);
}

std::optional<int32_t> ParseInteger32(std::string_view text) {
  const auto value = ParseLargeInteger(text);
  if (!value || *value < INT32_MIN || *value > static_cast<int64_t>(UINT32_MAX)) return std::nullopt;
  return static_cast<int32_t>(static_cast<uint32_t>(*value));
}

bool IsLargeIntegerAttribute(std::string_view name) {
  for (std::string_view known : kLargeIntegerAttributes) {
    if (SameText(known, name)) return true;
  }
  return false;
}

bool IsInteger32Attribute(std::string_view name) {
  for (std::string_view known : kInteger32Attributes) {
    if (SameText(known, name)) return true;
  }
  return false;
}

std::optional<std::string> SidToText(std::string_view bytes) {
  const auto count = SidCount(bytes);
  if (!count) return std::nullopt;
  uint64_t authority = 0;
  for (size_t i = 2; i < 8; ++i) authority = (authority << 8) | static_cast<unsigned char>(bytes[i]);
  std::string text = "S-1-";
  if (authority <= 0xFFFFFFFFull) {
    text += std::to_string(authority);
  } else {
    char hex[24];
    std::snprintf(hex, sizeof hex, "0x%012llX", static_cast<unsigned long long>(authority));
    text += hex;
  }
  for (size_t i = 0; i < *count; ++i) {
    text += '-';
    text += std::to_string(ReadLittleEndian32(bytes, 8 + 4 * i));
  }
  return text;
}

std::optional<std::string> SidFromText(std::string_view text) {
  if (text.size() < 4 || Lower(text[0]) != 's' || text[1] != '-' || text[2] != '1' || text[3] != '-') {
    return std::nullopt;
  }
  std::vector<std::string_view> parts;
  size_t start = 4;
  while (true) {
    const size_t dash = text.find('-', start);
    parts.push_back(text.substr(start, dash == std::string_view::npos ? std::string_view::npos : dash - start));
    if (dash == std::string_view::npos) break;
    start = dash + 1;
  }
  if (parts.size() > 16) return std::nullopt;
  std::optional<uint64_t> authority;
  const std::string_view first = parts.front();
  if (first.size() > 2 && first[0] == '0' && Lower(first[1]) == 'x') {
    uint64_t value = 0;
    if (first.size() > 14) return std::nullopt;
    for (char c : first.substr(2)) {
      const int digit = HexValue(c);
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<uint64_t>(digit);
    }
    authority = value;
  } else {
    authority = ParseUnsignedUpTo(first, 0xFFFFFFFFFFFFull);
  }
  if (!authority) return std::nullopt;
  std::string bytes;
  bytes.push_back(1);
  bytes.push_back(static_cast<char>(parts.size() - 1));
  for (int shift = 40; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>((*authority >> shift) & 0xFF));
  for (size_t i = 1; i < parts.size(); ++i) {
    const auto sub = ParseUnsigned32(parts[i]);
    if (!sub) return std::nullopt;
    AppendLittleEndian32(bytes, *sub);
  }
  return bytes;
}

std::optional<uint32_t> SidRid(std::string_view bytes) {
  const auto count = SidCount(bytes);
  if (!count || *count == 0) return std::nullopt;
  return ReadLittleEndian32(bytes, 8 + 4 * (*count - 1));
}

std::optional<std::string> SidDomainPart(std::string_view bytes) {
  const auto count = SidCount(bytes);
  if (!count || *count == 0) return std::nullopt;
  std::string domain(bytes.substr(0, bytes.size() - 4));
  domain[1] = static_cast<char>(*count - 1);
  return domain;
}

std::string SidWithRid(std::string_view domainSid, uint32_t rid) {
  const auto count = SidCount(domainSid);
  if (!count || *count >= 15) return {};
  std::string sid(domainSid);
  sid[1] = static_cast<char>(*count + 1);
  AppendLittleEndian32(sid, rid);
  return sid;
}

std::string EscapeFilterValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '*': out += "\\2a"; break;
      case '(': out += "\\28"; break;
      case ')': out += "\\29"; break;
      case '\\': out += "\\5c"; break;
      case '\0': out += "\\00"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string EscapeFilterBytes(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out.push_back('\\');
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 0x0F]);
  }
  return out;
}

std::optional<std::vector<Rdn>> SplitDn(std::string_view dn) {
  std::vector<Rdn> rdns;
  size_t at = 0;
  while (at < dn.size() && dn[at] == ' ') ++at;
  if (at == dn.size()) return rdns;
  while (true) {
    // One RDN: AVAs joined by '+'; the first one is kept.
    bool firstAva = true;
    Rdn rdn;
    while (true) {
      while (at < dn.size() && dn[at] == ' ') ++at;
      const size_t equals = dn.find('=', at);
      if (equals == std::string_view::npos) return std::nullopt;
      const std::string_view type = Trim(dn.substr(at, equals - at));
      if (type.empty()) return std::nullopt;
      for (char c : type) {
        if (c == ',' || c == ';' || c == '+' || c == '"' || c == '\\') return std::nullopt;
      }
      at = equals + 1;
      std::string value;
      if (!ParseRdnValue(dn, at, value)) return std::nullopt;
      if (firstAva) {
        rdn.type.assign(type);
        rdn.value = std::move(value);
        firstAva = false;
      }
      if (at < dn.size() && dn[at] == '+') {
        ++at;
        continue;
      }
      break;
    }
    rdns.push_back(std::move(rdn));
    if (at >= dn.size()) break;
    ++at;  // ',' or ';'
    if (at >= dn.size()) return std::nullopt;  // a separator with nothing after it
  }
  return rdns;
}

std::string FirstRdnValue(std::string_view dn) {
  const auto rdns = SplitDn(dn);
  if (!rdns || rdns->empty()) return {};
  return rdns->front().value;
}

std::string FirstRdnText(std::string_view dn) {
  bool quoted = false;
  for (size_t i = 0; i < dn.size(); ++i) {
    const char c = dn[i];
    if (c == '\\') {
      ++i;
      continue;
    }
    if (c == '"') quoted = !quoted;
    if (!quoted && (c == ',' || c == ';')) return std::string(Trim(dn.substr(0, i)));
  }
  return std::string(Trim(dn));
}

std::string DnsDomainOfDn(std::string_view dn) {
  const auto rdns = SplitDn(dn);
  if (!rdns) return {};
  std::string domain;
  for (const Rdn& rdn : *rdns) {
    if (!SameText(rdn.type, "DC") || rdn.value.empty()) continue;
    if (!domain.empty()) domain.push_back('.');
    domain += LowerAscii(rdn.value);
  }
  return domain;
}

bool DnIsWithin(std::string_view dn, std::string_view suffix) {
  if (suffix.empty()) return true;
  if (dn.size() < suffix.size()) return false;
  if (!SameText(dn.substr(dn.size() - suffix.size()), suffix)) return false;
  if (dn.size() == suffix.size()) return true;
  size_t comma = dn.size() - suffix.size() - 1;
  while (comma > 0 && dn[comma] == ' ') --comma;
  if (dn[comma] != ',') return false;
  // The comma must not itself be escaped: an odd run of backslashes before
  // it would make it part of a value.
  size_t backslashes = 0;
  for (size_t i = comma; i > 0 && dn[i - 1] == '\\'; --i) ++backslashes;
  return backslashes % 2 == 0;
}

std::optional<WinNtPath> ParseWinNtPath(std::string_view path) {
  constexpr std::string_view kPrefix = "WinNT://";
  if (path.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  const std::string_view rest = path.substr(kPrefix.size());
  if (rest.empty()) return std::nullopt;
  const size_t slash = rest.find('/');
  WinNtPath parsed;
  if (slash == std::string_view::npos) {
    if (!SidFromText(rest)) return std::nullopt;
    parsed.kind = WinNtPath::Kind::Sid;
    parsed.name.assign(rest);
    return parsed;
  }
  const std::string_view domain = rest.substr(0, slash);
  std::string_view name = rest.substr(slash + 1);
  if (domain.empty() || name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
  const size_t comma = name.find(',');
  if (comma != std::string_view::npos) {
    parsed.className.assign(name.substr(comma + 1));
    name = name.substr(0, comma);
    if (name.empty() || parsed.className.empty()) return std::nullopt;
  }
  parsed.kind = WinNtPath::Kind::Account;
  parsed.domain.assign(domain);
  parsed.name.assign(name);
  return parsed;
}

std::optional<LdapPath> ParseLdapPath(std::string_view path) {
  constexpr std::string_view kPrefix = "LDAP://";
  if (path.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  const std::string_view rest = path.substr(kPrefix.size());
  if (rest.empty()) return std::nullopt;
  LdapPath parsed;
  if (SameText(rest, "rootDSE")) {
    parsed.rootDse = true;
    return parsed;
  }
  parsed.dn.assign(rest);
  return parsed;
}

Krb5ConfigScan ScanKrb5Config(std::string_view text) {
  Krb5ConfigScan scan;
  std::string section;
  int depth = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      section = close == std::string_view::npos ? std::string() : LowerAscii(Trim(line.substr(1, close - 1)));
      depth = 0;
      continue;
    }
    // Include directives may stand on any line of their own.
    if (line.substr(0, 8) == "include ") {
      scan.includes.emplace_back(Trim(line.substr(8)));
      continue;
    }
    if (line.substr(0, 11) == "includedir ") {
      scan.includeDirs.emplace_back(Trim(line.substr(11)));
      continue;
    }
    if (line[0] == '}') {
      if (depth > 0) --depth;
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, equals));
    std::string_view value = Trim(line.substr(equals + 1));
    if (!value.empty() && value.front() == '{') {
      ++depth;
      continue;
    }
    if (depth == 0 && section == "libdefaults" && key == "default_realm" && !scan.defaultRealm && !value.empty()) {
      scan.defaultRealm.emplace(value);
    }
  }
  return scan;
}

std::string HostListToUris(std::string_view hostList) {
  std::string uris;
  size_t start = 0;
  while (start < hostList.size()) {
    size_t end = hostList.find(' ', start);
    if (end == std::string_view::npos) end = hostList.size();
    const std::string_view host = hostList.substr(start, end - start);
    start = end + 1;
    if (host.empty()) continue;
    if (!uris.empty()) uris.push_back(' ');
    uris += "ldap://";
    uris += host;
  }
  return uris;
}

}  // namespace agewarden::ldap
