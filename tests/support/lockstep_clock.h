// A clock for tests that run the whole engine: time moves only when every
// thread that waits on this clock is waiting, and then straight to the
// earliest wake-up, as a discrete-event simulation would. So a paced loop
// (the video pipeline) never finds itself late, and audio threads are never
// left behind by a clock racing ahead of them.
//
// A thread takes part from its first SleepMs or timer wait until it ends. One
// that has not come back to wait for 0.5 s of real time (a save thread
// blocked on its queue, a thread stuck on a lock) is deemed busy elsewhere,
// and time moves on without it until it waits again.
#pragma once

#include <memory>

#include "platform/clock.h"

namespace kp::test {

class LockstepClock : public Clock {
 public:
  explicit LockstepClock(int64_t start = 1'000 * kTicksPerSecond);
  ~LockstepClock() override;

  int64_t Now() override;
  int64_t SystemTimeNow() override { return Now(); }  // no wall clock of its own
  void SleepMs(int64_t milliseconds) override;
  std::unique_ptr<OneShotTimer> CreateOneShotTimer() override;

  // Moves time on at once, whoever is running (a test skipping a pause).
  void Advance(int64_t ticks);
  // While held, time stands still for everyone (a test reading a moment).
  void Hold(bool held);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace kp::test
