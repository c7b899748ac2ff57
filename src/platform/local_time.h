// Wall-clock time in the user's time zone, for log lines and clip names.
#pragma once

#include <cstdint>

namespace kp {

struct LocalTime {
  unsigned year = 0, month = 0, day = 0;
  unsigned hour = 0, minute = 0, second = 0, millisecond = 0;
};

LocalTime GetLocalTimeNow();

// The system's wall clock as precisely as it reads: 100-ns ticks since
// 1601-01-01 UTC (a FILETIME's value). Unlike MonotonicNow it may jump.
int64_t PreciseSystemTimeNow();

// The local date and time of a wall-clock reading of PreciseSystemTimeNow.
LocalTime LocalTimeOf(int64_t systemTime);

}  // namespace kp
