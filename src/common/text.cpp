#include "common/text.h"

namespace agewarden {
namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

size_t Utf8SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

Utf8Sequence DecodeUtf8(std::string_view text, size_t i, bool allowSurrogates) {
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};  // below: overlong
  const auto lead = static_cast<unsigned char>(text[i]);
  const size_t length = Utf8SequenceLength(lead);
  if (length == 0 || i + length > text.size()) return {};
  char32_t value = length == 1 ? lead : lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return {};
    value = (value << 6) | (next & 0x3F);
  }
  if (value < kLeast[length] || value > 0x10FFFF) return {};
  if (!allowSurrogates && value >= 0xD800 && value <= 0xDFFF) return {};
  return {length, value};
}

size_t Utf16Length(std::string_view text) {
  size_t units = 0;
  for (size_t i = 0; i < text.size();) {
    const size_t length = DecodeUtf8(text, i).length;
    if (length == 0) {
      units += 1;
      i += 1;
    } else {
      units += length == 4 ? 2 : 1;
      i += length;
    }
  }
  return units;
}

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t length = DecodeUtf8(text, i).length;
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string WidenLatin1(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

std::string DnsNameOfNamingContext(std::string_view namingContext) {
  std::string name;
  size_t i = 0;
  while (i < namingContext.size()) {
    if (namingContext.substr(i, 3) != "DC=") {
      ++i;
      continue;
    }
    const size_t start = i + 3;
    const size_t comma = namingContext.find(',', start);
    if (comma == std::string_view::npos) {
      name += namingContext.substr(start);
      break;
    }
    name += namingContext.substr(start, comma - start);
    name += '.';
    i = comma + 1;
  }
  return name;
}

}  // namespace agewarden
