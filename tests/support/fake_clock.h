// A deterministic clock: time moves only when the code under test sleeps or
// waits, or when the test calls Advance. Sleeping never blocks.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/clock.h"

namespace kp::test {

class FakeClock : public Clock {
 public:
  explicit FakeClock(int64_t start = 1'000 * kTicksPerSecond) : now_(start) {}

  int64_t Now() override;
  // Runs with Now, from 2020-01-01 on, plus every ShiftSystemTime.
  int64_t SystemTimeNow() override;
  void SleepMs(int64_t milliseconds) override;
  std::unique_ptr<OneShotTimer> CreateOneShotTimer() override;

  void Advance(int64_t ticks);
  // Moves only the wall clock: the machine slept (or the user set the clock).
  void ShiftSystemTime(int64_t ticks) { systemOffset_ += ticks; }
  // Called after every advance with the new time (on the advancing thread).
  void SetOnAdvance(std::function<void(int64_t now)> hook);
  // When false, CreateOneShotTimer returns null (a system without the timer).
  void SetTimerAvailable(bool available) { timerAvailable_ = available; }

  int64_t sleepCalls() const { return sleepCalls_; }
  int64_t timerWaits() const { return timerWaits_; }

 private:
  std::atomic<int64_t> now_;
  std::atomic<int64_t> systemOffset_{132'223'104'000'000'000};  // 2020-01-01 as a FILETIME
  std::atomic<int64_t> sleepCalls_{0};
  std::atomic<int64_t> timerWaits_{0};
  std::atomic<bool> timerAvailable_{true};
  std::mutex hookMutex_;
  std::function<void(int64_t)> onAdvance_;
};

}  // namespace kp::test
