#include <windows.h>

#include "platform/clock.h"
#include "platform/local_time.h"
#include "platform/unique_handle_win.h"
#include "platform/win_compat.h"

namespace kp {

uint64_t MonotonicNow() {
  static const uint64_t frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<uint64_t>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  return CounterToTicks(static_cast<uint64_t>(counter.QuadPart), frequency);
}

namespace {

// A high-resolution waitable timer: the thread sleeps to the due time with
// sub-millisecond precision instead of spinning.
class WaitableTimer : public OneShotTimer {
 public:
  explicit WaitableTimer(HANDLE timer) : timer_(timer) {}
  bool Wait(int64_t ticks) override {
    LARGE_INTEGER due;
    due.QuadPart = -(ticks > 0 ? ticks : 0);  // negative: relative, in 100-ns units
    if (!::SetWaitableTimerEx(timer_.Get(), &due, 0, nullptr, nullptr, nullptr, 0)) return false;
    ::WaitForSingleObject(timer_.Get(), INFINITE);
    return true;
  }

 private:
  UniqueHandle timer_;
};

class WinClock : public Clock {
 public:
  int64_t Now() override { return static_cast<int64_t>(MonotonicNow()); }
  int64_t SystemTimeNow() override { return PreciseSystemTimeNow(); }
  void SleepMs(int64_t milliseconds) override { ::Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0); }
  std::unique_ptr<OneShotTimer> CreateOneShotTimer() override {
    HANDLE timer = ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (timer == nullptr) return nullptr;
    return std::make_unique<WaitableTimer>(timer);
  }
};

}  // namespace

Clock& SystemClock() {
  static WinClock clock;
  return clock;
}

}  // namespace kp
