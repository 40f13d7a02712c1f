// Text helpers. Text is UTF-8 inside the program; limits that the tool's
// contract gives in UTF-16 characters are counted with Utf16Length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace agewarden {

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
