#include <time.h>

#include <cerrno>

#include "platform/clock.h"
#include "platform/local_time.h"

namespace kp {

uint64_t MonotonicNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return CounterToTicks(static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec),
                        1'000'000'000ull);
}

namespace {

void SleepTicks(int64_t ticks) {
  if (ticks <= 0) return;
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ticks / kTicksPerSecond);
  ts.tv_nsec = static_cast<long>((ticks % kTicksPerSecond) * 100);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// clock_nanosleep on CLOCK_MONOTONIC to an absolute deadline: the POSIX
// counterpart of a high-resolution waitable timer.
class PosixTimer : public OneShotTimer {
 public:
  bool Wait(int64_t ticks) override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t deadlineNs = static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec + (ticks > 0 ? ticks * 100 : 0);
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(deadlineNs / 1'000'000'000);
    deadline.tv_nsec = static_cast<long>(deadlineNs % 1'000'000'000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
    return true;
  }
};

class PosixClock : public Clock {
 public:
  int64_t Now() override { return static_cast<int64_t>(MonotonicNow()); }
  int64_t SystemTimeNow() override { return PreciseSystemTimeNow(); }
  void SleepMs(int64_t milliseconds) override { SleepTicks(milliseconds * kTicksPerMillisecond); }
  std::unique_ptr<OneShotTimer> CreateOneShotTimer() override { return std::make_unique<PosixTimer>(); }
};

}  // namespace

Clock& SystemClock() {
  static PosixClock clock;
  return clock;
}

}  // namespace kp
