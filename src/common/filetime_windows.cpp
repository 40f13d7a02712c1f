// The clock and the zone from Windows: the system clock as FILETIME ticks,
// and the system's zone with the daylight-saving offset in force at the
// instant asked (SystemTimeToTzSpecificLocalTime applies the rule of that
// date, not the one in force now).
#include <windows.h>

#include <limits>

#include "common/filetime.h"

namespace agewarden {
namespace {

constexpr int64_t kMaxUnixSeconds = std::numeric_limits<int64_t>::max() / kTicksPerSecond - kEpochDifferenceSeconds;

FILETIME ToFileTime(int64_t ticks) {
  FILETIME value;
  value.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
  value.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  return value;
}

int64_t FromFileTime(const FILETIME& value) {
  return static_cast<int64_t>((static_cast<uint64_t>(value.dwHighDateTime) << 32) | value.dwLowDateTime);
}

}  // namespace

bool LocalZoneOffset(int64_t unixSeconds, int64_t& offsetSeconds) {
  if (unixSeconds < -kEpochDifferenceSeconds || unixSeconds > kMaxUnixSeconds) return false;
  const int64_t utcTicks = (unixSeconds + kEpochDifferenceSeconds) * kTicksPerSecond;
  const FILETIME utcFileTime = ToFileTime(utcTicks);
  SYSTEMTIME utc;
  SYSTEMTIME local;
  FILETIME localFileTime;
  if (!FileTimeToSystemTime(&utcFileTime, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
      !SystemTimeToFileTime(&local, &localFileTime)) {
    return false;
  }
  offsetSeconds = (FromFileTime(localFileTime) - utcTicks) / kTicksPerSecond;
  return true;
}

int64_t SystemTimeAsFileTime() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return FromFileTime(now);
}

}  // namespace agewarden
