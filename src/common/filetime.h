// Time values as the directory stores them: 100-ns ticks since
// 1601-01-01 00:00 UTC. These are pure conversions; the current time and the
// zone come in through the caller (see Clock).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace agewarden {

constexpr int64_t kTicksPerSecond = 10'000'000;
/// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifferenceSeconds = 11'644'473'600;

/// Calendar fields of a time value.
struct SystemTime {
  int year = 0;
  int month = 0;  // 1-12
  int day = 0;    // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

/// The zone's offset from UTC, in seconds, in force at a UTC instant given as
/// Unix seconds; false when the zone rules cannot place it.
using ZoneOffset = std::function<bool(int64_t unixSeconds, int64_t& offsetSeconds)>;

/// The system's zone rules: the C library's on POSIX (TZ honoured), the
/// system's zone with the daylight-saving offset of that instant on Windows.
bool LocalZoneOffset(int64_t unixSeconds, int64_t& offsetSeconds);

/// UTC ticks to local ticks. Fails for a negative value and where the result
/// would leave the 64-bit range.
bool FileTimeToLocalFileTime(int64_t utcTicks, int64_t& localTicks, const ZoneOffset& zone);

/// Splits ticks into calendar fields. Fails before 1601-01-01 and after the
/// year 30827.
bool FileTimeToSystemTime(int64_t ticks, SystemTime& fields);

/// A date value can hold the years 100 to 9999 only.
bool CanBeDateValue(const SystemTime& fields);

/// The date and time of day as an English (United States) setting writes
/// them: M/D/YYYY h:mm:ss AM.
std::string FormatDateText(const SystemTime& fields);

/// The system clock, as ticks since 1601-01-01 UTC.
int64_t SystemTimeAsFileTime();

}  // namespace agewarden
