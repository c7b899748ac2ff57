// Wall-clock time in the user's time zone, for log lines and clip names.
#pragma once

namespace kp {

struct LocalTime {
  unsigned year = 0, month = 0, day = 0;
  unsigned hour = 0, minute = 0, second = 0, millisecond = 0;
};

LocalTime GetLocalTimeNow();

}  // namespace kp
