#include "cli/environment_windows.h"

#include <windows.h>

#include <vector>

#include "common/utf16.h"

namespace agewarden {

bool ReadEnvironmentVariable(const std::string& name, std::string& value) {
  if (name.empty() || name.find('\0') != std::string::npos) return false;
  const std::wstring wideName = Utf8ToWide(name);
  std::vector<wchar_t> buffer(64);
  // The value may grow between the call that sizes it and the one that reads
  // it: ask again until it fits.
  for (int attempt = 0; attempt < 8; ++attempt) {
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableW(wideName.c_str(), buffer.data(),
                                                 static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      if (GetLastError() != ERROR_SUCCESS) return false;  // ERROR_ENVVAR_NOT_FOUND among others
      value.clear();
      return true;
    }
    if (length < buffer.size()) {
      buffer[length] = L'\0';
      value = WideToUtf8(buffer.data());
      return true;
    }
    buffer.resize(length);  // the size asked for, its closing NUL included
  }
  return false;
}

}  // namespace agewarden
