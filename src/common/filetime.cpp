#include "common/filetime.h"

#include <chrono>
#include <limits>

namespace agewarden {
namespace {

using Ticks = std::chrono::duration<int64_t, std::ratio<1, kTicksPerSecond>>;

}  // namespace

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
  using namespace std::chrono;
  if (ticks < 0) return false;
  const Ticks sinceEpoch{ticks};
  const days day = floor<days>(sinceEpoch);
  const year_month_day date{sys_days{year{1601} / January / 1} + day};
  if (date.year() > year{30827}) return false;
  const hh_mm_ss<Ticks> time{sinceEpoch - day};
  fields.year = int{date.year()};
  fields.month = static_cast<int>(unsigned{date.month()});
  fields.day = static_cast<int>(unsigned{date.day()});
  fields.hour = static_cast<int>(time.hours().count());
  fields.minute = static_cast<int>(time.minutes().count());
  fields.second = static_cast<int>(time.seconds().count());
  return true;
}

bool CanBeDateValue(const SystemTime& fields) { return fields.year >= 100 && fields.year <= 9999; }

std::string FormatDateText(const SystemTime& fields) {
  const int hour12 = fields.hour % 12 == 0 ? 12 : fields.hour % 12;
  std::string text;
  text.reserve(24);
  const auto number = [&text](int value, bool twoDigits, char after) {
    if (twoDigits && value < 10) text += '0';
    text += std::to_string(value);
    text += after;
  };
  number(fields.month, false, '/');
  number(fields.day, false, '/');
  number(fields.year, false, ' ');
  number(hour12, false, ':');
  number(fields.minute, true, ':');
  number(fields.second, true, ' ');
  text += fields.hour < 12 ? "AM" : "PM";
  return text;
}

}  // namespace agewarden
