#include "directory/backend/sid.h"

#include <charconv>
#include <cstdio>
#include <vector>

namespace agewarden::ldap {
namespace {

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
  if (bytes.size() < 8 || static_cast<unsigned char>(bytes[0]) != 1) return std::nullopt;
  const size_t count = static_cast<unsigned char>(bytes[1]);
  if (count > 15 || bytes.size() != 8 + 4 * count) return std::nullopt;
  return count;
}

// The whole of `text` as an unsigned number in `base` (digits only: no sign,
// no blanks, no prefix), at most `limit`.
std::optional<uint64_t> ParseWhole(std::string_view text, int base, uint64_t limit) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || value > limit) return std::nullopt;
  return value;
}

}  // namespace

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
  if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text.substr(1, 3) != "-1-") return std::nullopt;
  std::vector<std::string_view> parts;
  for (size_t start = 4;;) {
    const size_t dash = text.find('-', start);
    parts.push_back(text.substr(start, dash == std::string_view::npos ? std::string_view::npos : dash - start));
    if (dash == std::string_view::npos) break;
    start = dash + 1;
  }
  if (parts.size() > 16) return std::nullopt;
  // The authority: decimal below 2^48, or "0x" and at most 12 hex digits.
  const std::string_view first = parts.front();
  const bool hex = first.size() > 2 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X');
  if (hex && first.size() > 14) return std::nullopt;
  const auto authority = hex ? ParseWhole(first.substr(2), 16, 0xFFFFFFFFFFFFull)
                             : ParseWhole(first, 10, 0xFFFFFFFFFFFFull);
  if (!authority) return std::nullopt;
  std::string bytes;
  bytes.push_back(1);
  bytes.push_back(static_cast<char>(parts.size() - 1));
  for (int shift = 40; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>((*authority >> shift) & 0xFF));
  for (size_t i = 1; i < parts.size(); ++i) {
    const auto sub = ParseWhole(parts[i], 10, UINT32_MAX);
    if (!sub) return std::nullopt;
    AppendLittleEndian32(bytes, static_cast<uint32_t>(*sub));
  }
  return bytes;
}

std::optional<uint32_t> SidRid(std::string_view bytes) {
  const auto count = SidCount(bytes);
  if (!count || *count == 0) return std::nullopt;
  return ReadLittleEndian32(bytes, 8 + 4 * (*count - 1));
}

}  // namespace agewarden::ldap
