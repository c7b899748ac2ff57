// The event loop of an asynchronous (event-driven) Media Foundation
// transform, written against a small event-source interface so the same
// loop runs on the real transform and on a scripted fake. The transform
// announces each input it can take with a "need input" event and each
// finished picture with a "have output" event; the pump counts the former
// and collects the latter, without ever blocking in the event queue.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/clock.h"

namespace kp {

// Media Foundation values the pump interprets.
inline constexpr uint32_t kMfNoEventsAvailable = 0xC00D3E80;  // the queue is empty
inline constexpr uint32_t kMfEventError = 1;  // MEError: the transform has failed
inline constexpr uint32_t kMfEventNeedInput = 601;
inline constexpr uint32_t kMfEventHaveOutput = 602;
inline constexpr uint32_t kMfEventDrainComplete = 603;

// What one non-waiting look into the event queue gave: the call's result
// (an HRESULT; negative as int32 means failure) and, when it succeeded, the
// event's type and the status the event carries (also an HRESULT).
struct MfEventPoll {
  uint32_t hr = 0;
  uint32_t type = 0;
  uint32_t status = 0;
};

class MfEventSource {
 public:
  virtual ~MfEventSource() = default;
  // Takes the next event if there is one; never waits.
  virtual MfEventPoll PollEvent() = 0;
  // Collects one output of the transform; true when a sample came out.
  virtual bool CollectOutput() = 0;
};

class MfEventPump {
 public:
  // `realtime`: live capture waits at most 200 ms for an input request, an
  // offline encode 10 s. `failStalls`: a transform that asked for no input
  // for about 1 s of dropped frames in a row counts as stalled (real-time
  // hardware encoders stop asking without reporting an error): from then on
  // AcquireInputSlot fails at once, without waiting, until a request turns
  // up again, so the caller's failure count rebuilds the encoder.
  static constexpr int64_t kStallTicks = kTicksPerSecond;
  MfEventPump(MfEventSource& source, Clock& clock, bool realtime, bool failStalls = false);

  // Handles every queued event. With `waitForInput` it keeps polling (1 ms
  // waits) until an input request is pending or the wait limit passed;
  // without, it stops at the first empty poll. A failing queue, an MEError
  // event or any event carrying a failed status is logged and returns false
  // (a transform that reports an error never asks for input again, so
  // waiting on would only drop frame after frame). Such a transform stays
  // failed: every later call fails at once, without another line, so the
  // caller's failure count reaches its rebuild. Running out of time is not
  // a failure.
  bool Pump(bool waitForInput);

  enum class InputSlot : int32_t {
    Granted = 0,  // one pending request was consumed: submit the frame
    Dropped = 1,  // no request in time: skip the frame (not a failure)
    Failed = 2,   // the event queue failed
  };
  // Waits for the transform to ask for input and consumes that request. The
  // first dropped frame of a pump is logged, later ones are silent; a stall
  // is logged once when it begins.
  InputSlot AcquireInputSlot();

  // After the drain command: collects outputs until the transform reports
  // the drain complete (true), the queue fails (silent), an event reports a
  // failure (logged as in Pump), or 10 s pass (logged).
  bool FinishDrain();

  int32_t pendingInputRequests() const { return pendingInputRequests_; }

 private:
  // Waits about 1 ms: on the clock's one-shot timer where there is one (a
  // plain millisecond sleep lasts a whole scheduler tick on Windows, up to
  // 15.6 ms), else with the clock's sleep.
  void WaitOneMillisecond();

  MfEventSource& source_;
  Clock& clock_;
  std::unique_ptr<OneShotTimer> timer_;
  int64_t inputWait_;
  int32_t pendingInputRequests_ = 0;
  bool failStalls_;
  bool dropReported_ = false;
  bool dropping_ = false;    // the frames since dropSince_ were all dropped
  int64_t dropSince_ = 0;
  bool stalled_ = false;
  bool stallReported_ = false;
  bool transformFailed_ = false;  // an event reported the transform's failure
};

}  // namespace kp
