// The clock and the zone from Windows: the system clock as FILETIME ticks,
// and the system's zone with the daylight-saving offset in force at the
// instant asked. SystemTimeToTzSpecificLocalTime applies the daylight-saving
// dates of the zone information it is given to the instant's own date; given
// the zone's rules for the instant's year (GetTimeZoneInformationForYear), a
// date from before a rule change (the United States moved its dates in 2007)
// gets the offset it had then, as the C library's zone database gives it on
// POSIX. A zone without rules per year (or with automatic daylight saving
// turned off) uses the system's current zone information. Windows holds no
// time before 1601: in a zone west of UTC the local time of the first hours
// of 1601 (UTC) falls before it, and those hours take the zone's offset of
// a day later.
#include <windows.h>

#include <limits>

#include "common/filetime.h"

namespace agewarden {
namespace {

constexpr int64_t kMaxUnixSeconds = std::numeric_limits<int64_t>::max() / kTicksPerSecond - kEpochDifferenceSeconds;
// A day: more than any zone's distance from UTC, and no zone changes its
// clocks in the first days of January.
constexpr int64_t kDaySeconds = 86'400;

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
  if (unixSeconds < -kEpochDifferenceSeconds + kDaySeconds) unixSeconds += kDaySeconds;
  const int64_t utcTicks = (unixSeconds + kEpochDifferenceSeconds) * kTicksPerSecond;
  const FILETIME utcFileTime = ToFileTime(utcTicks);
  SYSTEMTIME utc;
  SYSTEMTIME local;
  FILETIME localFileTime;
  if (!FileTimeToSystemTime(&utcFileTime, &utc)) return false;
  // The year's rules; the UTC year stands for the local one (no zone moves
  // its clocks at the turn of the year).
  DYNAMIC_TIME_ZONE_INFORMATION zone{};
  TIME_ZONE_INFORMATION rules{};
  const DWORD zoneId = GetDynamicTimeZoneInformation(&zone);
  const bool yearRules = zoneId != TIME_ZONE_ID_INVALID && !zone.DynamicDaylightTimeDisabled &&
                         zone.TimeZoneKeyName[0] != L'\0' && GetTimeZoneInformationForYear(utc.wYear, &zone, &rules);
  if (!SystemTimeToTzSpecificLocalTime(yearRules ? &rules : nullptr, &utc, &local) ||
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
