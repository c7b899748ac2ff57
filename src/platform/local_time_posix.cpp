#include <sys/time.h>
#include <time.h>

#include "platform/local_time.h"

namespace kp {

namespace {

// Seconds from 1601-01-01 to the Unix epoch.
constexpr int64_t kEpochDifferenceSeconds = 11'644'473'600;
constexpr int64_t kTicksPerSecond = 10'000'000;

LocalTime FromParts(const tm& parts, unsigned millisecond) {
  LocalTime t;
  t.year = static_cast<unsigned>(parts.tm_year + 1900);
  t.month = static_cast<unsigned>(parts.tm_mon + 1);
  t.day = static_cast<unsigned>(parts.tm_mday);
  t.hour = static_cast<unsigned>(parts.tm_hour);
  t.minute = static_cast<unsigned>(parts.tm_min);
  t.second = static_cast<unsigned>(parts.tm_sec);
  t.millisecond = millisecond;
  return t;
}

}  // namespace

LocalTime GetLocalTimeNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  time_t seconds = tv.tv_sec;
  tm parts{};
  localtime_r(&seconds, &parts);
  return FromParts(parts, static_cast<unsigned>(tv.tv_usec / 1000));
}

int64_t PreciseSystemTimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return (static_cast<int64_t>(ts.tv_sec) + kEpochDifferenceSeconds) * kTicksPerSecond + ts.tv_nsec / 100;
}

LocalTime LocalTimeOf(int64_t systemTime) {
  int64_t unixTicks = systemTime - kEpochDifferenceSeconds * kTicksPerSecond;
  int64_t seconds = unixTicks / kTicksPerSecond;
  int64_t rest = unixTicks % kTicksPerSecond;
  if (rest < 0) {
    rest += kTicksPerSecond;
    --seconds;
  }
  time_t whole = static_cast<time_t>(seconds);
  tm parts{};
  localtime_r(&whole, &parts);
  return FromParts(parts, static_cast<unsigned>(rest / 10'000));
}

}  // namespace kp
