// Standard output of the Windows build.
#pragma once

#include <memory>
#include <streambuf>

namespace agewarden {

/// A buffer over the process's standard output. To a console the UTF-8 text
/// goes as UTF-16 through WriteConsoleW, so that every character shows
/// whatever the console's code page; to a file or pipe it goes as UTF-8
/// bytes with each line ending in CR LF. Destroying it writes what is left.
std::unique_ptr<std::streambuf> OpenStandardOutput();

}  // namespace agewarden
