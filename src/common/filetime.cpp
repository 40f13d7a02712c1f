#include "common/filetime.h"

#include <chrono>
#include <ctime>
#include <limits>

#include "common/format.h"

namespace agewarden {
namespace {

constexpr int64_t kTicksPerDay = 86'400 * kTicksPerSecond;

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's
// civil_from_days), valid far beyond the range used here.
void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
  month = static_cast<int>(m);
  day = static_cast<int>(d);
}

}  // namespace

bool LocalZoneOffset(int64_t unixSeconds, int64_t& offsetSeconds) {
  if (unixSeconds < std::numeric_limits<time_t>::min() || unixSeconds > std::numeric_limits<time_t>::max()) {
    return false;
  }
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr) return false;
  offsetSeconds = local.tm_gmtoff;
  return true;
}

bool FileTimeToLocalFileTime(int64_t utcTicks, int64_t& localTicks, const ZoneOffset& zone) {
  if (utcTicks < 0) return false;
  const int64_t unixSeconds = utcTicks / kTicksPerSecond - kEpochDifferenceSeconds;
  int64_t offset = 0;
  if (!zone(unixSeconds, offset)) return false;
  const int64_t offsetTicks = offset * kTicksPerSecond;
  if (offsetTicks > 0 && utcTicks > std::numeric_limits<int64_t>::max() - offsetTicks) return false;
  localTicks = utcTicks + offsetTicks;
  return true;
}

bool FileTimeToSystemTime(int64_t ticks, SystemTime& fields) {
  if (ticks < 0) return false;
  const int64_t days = ticks / kTicksPerDay;
  int64_t rest = ticks % kTicksPerDay;
  // 1601-01-01 is day -134774 of the Unix calendar.
  int year = 0, month = 0, day = 0;
  CivilFromDays(days - 134774, year, month, day);
  if (year > 30827) return false;
  fields.year = year;
  fields.month = month;
  fields.day = day;
  fields.hour = static_cast<int>(rest / (3600 * kTicksPerSecond));
  rest %= 3600 * kTicksPerSecond;
  fields.minute = static_cast<int>(rest / (60 * kTicksPerSecond));
  rest %= 60 * kTicksPerSecond;
  fields.second = static_cast<int>(rest / kTicksPerSecond);
  fields.milliseconds = static_cast<int>((rest % kTicksPerSecond) / 10'000);
  return true;
}

bool CanBeDateValue(const SystemTime& fields) { return fields.year >= 100 && fields.year <= 9999; }

std::string FormatDateText(const SystemTime& fields) {
  const int hour12 = fields.hour % 12 == 0 ? 12 : fields.hour % 12;
  const char* half = fields.hour < 12 ? "AM" : "PM";
  std::string minute = (fields.minute < 10 ? "0" : "") + std::to_string(fields.minute);
  std::string second = (fields.second < 10 ? "0" : "") + std::to_string(fields.second);
  return Format("%d/%d/%d %d:%s:%s %s", fields.month, fields.day, fields.year, hour12, minute, second, half);
}

int64_t SystemTimeAsFileTime() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const int64_t unixTicks = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
  return unixTicks + kEpochDifferenceSeconds * kTicksPerSecond;
}

}  // namespace agewarden
