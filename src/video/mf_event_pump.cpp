#include "video/mf_event_pump.h"

#include "app/log.h"

namespace kp {

namespace {

constexpr int64_t kRealtimeInputWait = 200 * kTicksPerMillisecond;
constexpr int64_t kOfflineInputWait = 10 * kTicksPerSecond;
constexpr int64_t kDrainWait = 10 * kTicksPerSecond;

bool Failed(uint32_t hr) { return static_cast<int32_t>(hr) < 0; }

}  // namespace

MfEventPump::MfEventPump(MfEventSource& source, Clock& clock, bool realtime)
    : source_(source), clock_(clock), inputWait_(realtime ? kRealtimeInputWait : kOfflineInputWait) {}

bool MfEventPump::Pump(bool waitForInput) {
  const int64_t deadline = clock_.Now() + inputWait_;
  for (;;) {
    const MfEventPoll poll = source_.PollEvent();
    if (poll.hr == kMfNoEventsAvailable) {
      if (!waitForInput || pendingInputRequests_ > 0) return true;
      if (clock_.Now() >= deadline) return true;
      clock_.SleepMs(1);
      continue;
    }
    if (Failed(poll.hr)) {
      Log("mf: event queue failed (hr=0x%08lX)", static_cast<unsigned long>(poll.hr));
      return false;
    }
    if (poll.type == kMfEventNeedInput) {
      ++pendingInputRequests_;
    } else if (poll.type == kMfEventHaveOutput) {
      source_.CollectOutput();
    }
  }
}

MfEventPump::InputSlot MfEventPump::AcquireInputSlot() {
  if (!Pump(/*waitForInput=*/true)) return InputSlot::Failed;
  if (pendingInputRequests_ <= 0) {
    if (!dropReported_) {
      Log("mf: encoder didn't ask for input in time, dropping a frame");
      dropReported_ = true;
    }
    return InputSlot::Dropped;
  }
  --pendingInputRequests_;
  return InputSlot::Granted;
}

bool MfEventPump::FinishDrain() {
  const int64_t deadline = clock_.Now() + kDrainWait;
  while (clock_.Now() < deadline) {
    const MfEventPoll poll = source_.PollEvent();
    if (poll.hr == kMfNoEventsAvailable) {
      clock_.SleepMs(1);
      continue;
    }
    if (Failed(poll.hr)) return false;
    if (poll.type == kMfEventHaveOutput) {
      source_.CollectOutput();
    } else if (poll.type == kMfEventDrainComplete) {
      return true;
    }
  }
  Log("mf: encoder didn't finish draining");
  return false;
}

}  // namespace kp
