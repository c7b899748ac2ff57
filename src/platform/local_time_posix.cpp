#include <sys/time.h>
#include <time.h>

#include "platform/local_time.h"

namespace kp {

LocalTime GetLocalTimeNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  time_t seconds = tv.tv_sec;
  tm parts{};
  localtime_r(&seconds, &parts);
  LocalTime t;
  t.year = static_cast<unsigned>(parts.tm_year + 1900);
  t.month = static_cast<unsigned>(parts.tm_mon + 1);
  t.day = static_cast<unsigned>(parts.tm_mday);
  t.hour = static_cast<unsigned>(parts.tm_hour);
  t.minute = static_cast<unsigned>(parts.tm_min);
  t.second = static_cast<unsigned>(parts.tm_sec);
  t.millisecond = static_cast<unsigned>(tv.tv_usec / 1000);
  return t;
}

}  // namespace kp
