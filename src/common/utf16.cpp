#include "common/utf16.h"

#include "common/text.h"

namespace agewarden {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    const char32_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else {
      AppendUtf8(out, unit);  // a lone surrogate too: three bytes
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    // A lone surrogate's three bytes are decoded too (see the header).
    const Utf8Sequence sequence = DecodeUtf8(text, i, /*allowSurrogates=*/true);
    if (sequence.length == 0) {
      out += static_cast<char16_t>(kReplacement);
      ++i;
      continue;
    }
    const char32_t c = sequence.codePoint;
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += sequence.length;
  }
  return out;
}

size_t CompleteUtf8Prefix(std::string_view text) {
  // Look back over at most three bytes for a lead byte whose sequence runs
  // past the end.
  const size_t size = text.size();
  for (size_t back = 1; back <= 3 && back <= size; ++back) {
    const auto byte = static_cast<unsigned char>(text[size - back]);
    if (IsContinuation(byte)) continue;
    const size_t length = Utf8SequenceLength(byte);
    return length > back ? size - back : size;
  }
  return size;
}

std::wstring Utf8ToWide(std::string_view text) {
  const std::u16string units = Utf8ToUtf16(text);
  return std::wstring(units.begin(), units.end());
}

std::string WideToUtf8(const wchar_t* text) {
  if (text == nullptr) return {};
  std::u16string units;
  for (; *text != L'\0'; ++text) units.push_back(static_cast<char16_t>(*text));
  return Utf16ToUtf8(units);
}

}  // namespace agewarden
