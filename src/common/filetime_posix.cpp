// The clock and the zone from the C library.
#include <chrono>
#include <ctime>
#include <limits>

#include "common/filetime.h"

namespace agewarden {

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

int64_t SystemTimeAsFileTime() {
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, kTicksPerSecond>>;
  const auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::floor<Ticks>(sinceUnixEpoch).count() + kEpochDifferenceSeconds * kTicksPerSecond;
}

}  // namespace agewarden
