// setenv, unsetenv and tzset for tests shared with the POSIX build, over the
// Windows C runtime. The Windows zone seam reads the system's zone, not TZ:
// the test script starts the suite under Wine with the Unix TZ that the
// tests set, so that the system zone is the one they expect.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <string>

inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name) != nullptr) return 0;
  return _putenv_s(name, value);
}

inline int unsetenv(const char* name) { return _putenv_s(name, ""); }

inline void tzset() { _tzset(); }
