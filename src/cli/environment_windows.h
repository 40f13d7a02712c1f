// The environment of the Windows build.
#pragma once

#include <string>

namespace agewarden {

/// The variable's value as UTF-8 (GetEnvironmentVariableW); false when it is
/// not set. A variable set to nothing reads as the empty text.
bool ReadEnvironmentVariable(const std::string& name, std::string& value);

}  // namespace agewarden
