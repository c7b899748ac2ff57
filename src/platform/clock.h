// The one monotonic clock and everything that waits on it. Time is a count of
// 100-ns ticks. Code that paces or schedules takes a `Clock&` so tests can run
// it on `FakeClock` (tests/support) without sleeping.
#pragma once

#include <cstdint>
#include <memory>

namespace kp {

inline constexpr int64_t kTicksPerSecond = 10'000'000;
inline constexpr int64_t kTicksPerMillisecond = 10'000;

// The performance counter (Windows) or CLOCK_MONOTONIC (POSIX) in ticks,
// converted without overflow or loss of precision.
uint64_t MonotonicNow();

// Converts a counter reading to ticks as
// (counter / frequency) * 1e7 + ((counter % frequency) * 1e7) / frequency.
uint64_t CounterToTicks(uint64_t counter, uint64_t frequency);

// A one-shot timer that can wait to a precise moment (on Windows a
// high-resolution waitable timer, so the thread sleeps rather than spins).
class OneShotTimer {
 public:
  virtual ~OneShotTimer() = default;
  // Arms the timer `ticks` from now and blocks until it fires. Returns false
  // when the timer could not be armed; the caller then falls back to Sleep.
  virtual bool Wait(int64_t ticks) = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t Now() = 0;
  // The wall clock (PreciseSystemTimeNow): unlike Now it also counts the
  // time the machine slept, and it may jump when the user sets the clock.
  virtual int64_t SystemTimeNow() = 0;
  // Coarse sleep, like the system's millisecond Sleep. Time the machine
  // sleeps may not count towards it.
  virtual void SleepMs(int64_t milliseconds) = 0;
  // Null when the system offers no such timer; callers tolerate that.
  virtual std::unique_ptr<OneShotTimer> CreateOneShotTimer() = 0;
};

// The real clock over MonotonicNow. Thread-safe; lives for the process.
Clock& SystemClock();

}  // namespace kp
