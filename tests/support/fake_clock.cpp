#include "support/fake_clock.h"

namespace kp::test {

namespace {

class FakeTimer : public OneShotTimer {
 public:
  explicit FakeTimer(FakeClock* clock, std::atomic<int64_t>* waits) : clock_(clock), waits_(waits) {}
  bool Wait(int64_t ticks) override {
    ++*waits_;
    if (ticks > 0) clock_->Advance(ticks);
    return true;
  }

 private:
  FakeClock* clock_;
  std::atomic<int64_t>* waits_;
};

}  // namespace

int64_t FakeClock::Now() { return now_.load(); }

int64_t FakeClock::SystemTimeNow() { return now_.load() + systemOffset_.load(); }

void FakeClock::SleepMs(int64_t milliseconds) {
  ++sleepCalls_;
  if (milliseconds > 0) Advance(milliseconds * kTicksPerMillisecond);
}

std::unique_ptr<OneShotTimer> FakeClock::CreateOneShotTimer() {
  if (!timerAvailable_) return nullptr;
  return std::make_unique<FakeTimer>(this, &timerWaits_);
}

void FakeClock::Advance(int64_t ticks) {
  int64_t now = now_.fetch_add(ticks) + ticks;
  std::function<void(int64_t)> hook;
  {
    std::lock_guard lock(hookMutex_);
    hook = onAdvance_;
  }
  if (hook) hook(now);
}

void FakeClock::SetOnAdvance(std::function<void(int64_t now)> hook) {
  std::lock_guard lock(hookMutex_);
  onAdvance_ = std::move(hook);
}

}  // namespace kp::test
