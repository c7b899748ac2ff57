#include "video/mf_event_pump.h"

#include "app/log.h"

namespace kp {

namespace {

constexpr int64_t kRealtimeInputWait = 200 * kTicksPerMillisecond;
constexpr int64_t kOfflineInputWait = 10 * kTicksPerSecond;
constexpr int64_t kDrainWait = 10 * kTicksPerSecond;

bool Failed(uint32_t hr) { return static_cast<int32_t>(hr) < 0; }

// An event that reports the transform's failure: MEError, or any event whose
// status is a failure.
bool ReportsFailure(const MfEventPoll& poll) { return poll.type == kMfEventError || Failed(poll.status); }

void LogQueueFailure(uint32_t hr) { Log("mf: event queue failed (hr=0x%08lX)", static_cast<unsigned long>(hr)); }

}  // namespace

MfEventPump::MfEventPump(MfEventSource& source, Clock& clock, bool realtime, bool failStalls)
    : source_(source),
      clock_(clock),
      timer_(clock.CreateOneShotTimer()),
      inputWait_(realtime ? kRealtimeInputWait : kOfflineInputWait),
      failStalls_(failStalls) {}

void MfEventPump::WaitOneMillisecond() {
  if (timer_ && timer_->Wait(kTicksPerMillisecond)) return;
  clock_.SleepMs(1);
}

bool MfEventPump::Pump(bool waitForInput) {
  if (transformFailed_) return false;
  const int64_t deadline = clock_.Now() + inputWait_;
  for (;;) {
    const MfEventPoll poll = source_.PollEvent();
    if (poll.hr == kMfNoEventsAvailable) {
      if (!waitForInput || pendingInputRequests_ > 0) return true;
      if (clock_.Now() >= deadline) return true;
      WaitOneMillisecond();
      continue;
    }
    if (Failed(poll.hr)) {
      LogQueueFailure(poll.hr);
      return false;
    }
    if (ReportsFailure(poll)) {
      LogQueueFailure(poll.status);
      transformFailed_ = true;
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
  const int64_t begin = clock_.Now();
  // A stalled transform is only looked at, never waited for.
  if (!Pump(/*waitForInput=*/!stalled_)) return InputSlot::Failed;
  if (pendingInputRequests_ <= 0) {
    if (stalled_) return InputSlot::Failed;
    if (!dropReported_) {
      Log("mf: encoder didn't ask for input in time, dropping a frame");
      dropReported_ = true;
    }
    if (!dropping_) {
      dropping_ = true;
      dropSince_ = begin;
    }
    if (failStalls_ && clock_.Now() - dropSince_ >= kStallTicks) {
      stalled_ = true;
      if (!stallReported_) {
        Log("mf: encoder stopped asking for input \xE2\x80\x94 failing its frames");
        stallReported_ = true;
      }
    }
    return InputSlot::Dropped;
  }
  dropping_ = stalled_ = false;
  --pendingInputRequests_;
  return InputSlot::Granted;
}

bool MfEventPump::FinishDrain() {
  if (transformFailed_) return false;
  const int64_t deadline = clock_.Now() + kDrainWait;
  while (clock_.Now() < deadline) {
    const MfEventPoll poll = source_.PollEvent();
    if (poll.hr == kMfNoEventsAvailable) {
      WaitOneMillisecond();
      continue;
    }
    if (Failed(poll.hr)) return false;
    if (ReportsFailure(poll)) {
      LogQueueFailure(poll.status);
      transformFailed_ = true;
      return false;
    }
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
