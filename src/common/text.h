// Text helpers. Text is UTF-8 inside the program; limits that the tool's
// contract gives in UTF-16 characters are counted with Utf16Length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace agewarden {

/// How many bytes the UTF-8 sequence that a lead byte starts has (1 to 4);
/// 0 for a byte that starts none (a continuation byte, C0, C1, F5-FF).
size_t Utf8SequenceLength(unsigned char lead);

/// One UTF-8 sequence read from text: its length in bytes (0 when the bytes
/// there are not a whole valid sequence) and the code point it encodes.
struct Utf8Sequence {
  size_t length = 0;
  char32_t codePoint = 0;
};

/// The sequence that starts at text[i] (i < text.size()). Overlong forms
/// and values beyond U+10FFFF are refused, and so are the surrogates
/// U+D800-DFFF unless `allowSurrogates`: Windows names may hold a lone
/// surrogate, which the Windows edges carry as its three-byte form.
Utf8Sequence DecodeUtf8(std::string_view text, size_t i, bool allowSurrogates = false);

/// Length in UTF-16 code units of UTF-8 text: a four-byte sequence counts
/// two, any other valid sequence one, and a byte that is not part of a valid
/// sequence one.
size_t Utf16Length(std::string_view text);

/// True when the bytes are valid UTF-8 (no overlongs, no surrogates).
bool IsValidUtf8(std::string_view text);

/// Each byte becomes the character of the same value (Latin-1 to UTF-8).
std::string WidenLatin1(std::string_view bytes);

/// ASCII-only case-insensitive comparison: A-Z match a-z, every other byte
/// must be equal.
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);

/// The text with A-Z lowered, every other byte as it is: a key for lookups
/// that ignore ASCII case.
std::string LowerAscii(std::string_view text);

/// The DC= values of a naming context joined with "." ("x.y" for
/// "DC=x,DC=y"); every other part is skipped, and "DC=" is matched as
/// written.
std::string DnsNameOfNamingContext(std::string_view namingContext);

}  // namespace agewarden
