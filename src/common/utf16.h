// UTF-16 text at the edges of the Windows build: arguments, the environment,
// file names and console output are UTF-16 there, the program's text UTF-8.
// A lone surrogate (which Windows allows in names) becomes the three bytes
// that encode its value (ED A0-BF xx), and those bytes become the lone
// surrogate again, so that every UTF-16 string survives the round trip.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace agewarden {

/// UTF-16 code units to UTF-8 text (lone surrogates kept as described above).
std::string Utf16ToUtf8(std::u16string_view units);

/// UTF-8 text to UTF-16 code units. A byte that does not start a whole
/// sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

/// The same for the platform's wide text (UTF-16 on Windows).
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(const wchar_t* text);

/// How many bytes of `text`, from its start, end on a sequence boundary: the
/// bytes after that are the start of a sequence that may still be completed
/// by text to come (at most three bytes are held back).
size_t CompleteUtf8Prefix(std::string_view text);

}  // namespace agewarden
