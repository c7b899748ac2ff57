#include "video/mf_event_pump.h"

#include <gtest/gtest.h>

#include <deque>

#include "support/fake_clock.h"
#include "support/log_capture.h"

namespace kp {
namespace {

constexpr int64_t kMs = kTicksPerMillisecond;
constexpr const char* kDropLine = "mf: encoder didn't ask for input in time, dropping a frame";

// A transform's event queue on a fake clock: each scripted event becomes
// visible once the clock reaches its time.
class ScriptedEvents : public MfEventSource {
 public:
  explicit ScriptedEvents(test::FakeClock& clock) : clock_(clock) {}

  void Add(int64_t availableAfter, uint32_t type, uint32_t hr = 0, uint32_t status = 0) {
    queue_.push_back({clock_.Now() + availableAfter, MfEventPoll{hr, type, status}});
  }

  MfEventPoll PollEvent() override {
    ++polls;
    if (queue_.empty() || queue_.front().at > clock_.Now()) return MfEventPoll{kMfNoEventsAvailable, 0};
    const MfEventPoll poll = queue_.front().poll;
    queue_.pop_front();
    return poll;
  }
  bool CollectOutput() override {
    ++collected;
    return true;
  }

  int polls = 0;
  int collected = 0;

 private:
  struct Entry {
    int64_t at;
    MfEventPoll poll;
  };
  test::FakeClock& clock_;
  std::deque<Entry> queue_;
};

class MfEventPumpTest : public ::testing::Test {
 protected:
  test::FakeClock clock;
  ScriptedEvents events{clock};
  test::LogCapture log;
};

TEST_F(MfEventPumpTest, RealtimeWaitsForAnInputRequestThatComesInTime) {
  MfEventPump pump(events, clock, /*realtime=*/true);
  const int64_t start = clock.Now();
  events.Add(50 * kMs, kMfEventNeedInput);
  EXPECT_EQ(pump.AcquireInputSlot(), MfEventPump::InputSlot::Granted);
  EXPECT_EQ(pump.pendingInputRequests(), 0);
  EXPECT_GE(clock.Now() - start, 50 * kMs);
  EXPECT_LT(clock.Now() - start, 60 * kMs);
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(MfEventPumpTest, RealtimeDropsAfter200msAndReportsOnlyTheFirstDrop) {
  MfEventPump pump(events, clock, /*realtime=*/true);
  int64_t start = clock.Now();
  EXPECT_EQ(pump.AcquireInputSlot(), MfEventPump::InputSlot::Dropped);
  EXPECT_GE(clock.Now() - start, 200 * kMs);
  EXPECT_LT(clock.Now() - start, 205 * kMs);

  // A request that arrives after the limit serves the next frame.
  events.Add(250 * kMs, kMfEventNeedInput);
  start = clock.Now();
  EXPECT_EQ(pump.AcquireInputSlot(), MfEventPump::InputSlot::Dropped);
  EXPECT_EQ(pump.AcquireInputSlot(), MfEventPump::InputSlot::Granted);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{kDropLine});
}

TEST_F(MfEventPumpTest, OfflineWaitsUpToTenSeconds) {
  MfEventPump pump(events, clock, /*realtime=*/false);
  events.Add(5 * kTicksPerSecond, kMfEventNeedInput);
  EXPECT_EQ(pump.AcquireInputSlot(), MfEventPump::InputSlot::Granted);

  const int64_t start = clock.Now();
  EXPECT_EQ(pump.AcquireInputSlot(), MfEventPump::InputSlot::Dropped);
  EXPECT_GE(clock.Now() - start, 10 * kTicksPerSecond);
  EXPECT_LT(clock.Now() - start, 10 * kTicksPerSecond + 5 * kMs);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{kDropLine});
}

TEST_F(MfEventPumpTest, CollectsOutputsAndCountsRequestsWhilePumping) {
  MfEventPump pump(events, clock, /*realtime=*/true);
  events.Add(0, kMfEventHaveOutput);
  events.Add(0, kMfEventNeedInput);
  events.Add(0, 999);  // unknown events are ignored
  events.Add(0, kMfEventHaveOutput);
  events.Add(0, kMfEventNeedInput);
  EXPECT_EQ(pump.AcquireInputSlot(), MfEventPump::InputSlot::Granted);
  EXPECT_EQ(events.collected, 2);
  EXPECT_EQ(pump.pendingInputRequests(), 1);
  // The second request is already pending: no waiting for the next frame.
  const int64_t before = clock.Now();
  EXPECT_EQ(pump.AcquireInputSlot(), MfEventPump::InputSlot::Granted);
  EXPECT_EQ(clock.Now(), before);
  EXPECT_EQ(pump.pendingInputRequests(), 0);
}

TEST_F(MfEventPumpTest, PumpWithoutWaitingStopsAtTheFirstEmptyPoll) {
  MfEventPump pump(events, clock, /*realtime=*/true);
  events.Add(0, kMfEventHaveOutput);
  events.Add(1 * kMs, kMfEventHaveOutput);  // not there yet
  const int64_t start = clock.Now();
  EXPECT_TRUE(pump.Pump(/*waitForInput=*/false));
  EXPECT_EQ(events.collected, 1);
  EXPECT_EQ(clock.Now(), start);
  EXPECT_EQ(clock.sleepCalls(), 0);
}

TEST_F(MfEventPumpTest, QueueFailureIsLoggedAndFails) {
  MfEventPump pump(events, clock, /*realtime=*/true);
  events.Add(0, 0, 0x80004005);
  EXPECT_EQ(pump.AcquireInputSlot(), MfEventPump::InputSlot::Failed);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"mf: event queue failed (hr=0x80004005)"});

  events.Add(0, 0, 0xC00D36B2);
  EXPECT_FALSE(pump.Pump(/*waitForInput=*/false));
  EXPECT_TRUE(log.Has("mf: event queue failed (hr=0xC00D36B2)"));
}

// A transform that fails tells so through an event, not through the queue:
// MEError, or an event whose status is a failure. Input and drain waits must
// both end at once with the status logged, nothing after it is taken, and
// every later call fails too (once only logged), or the caller would count
// the frames that follow as dropped rather than failed.
TEST_F(MfEventPumpTest, AnEventReportingFailureFailsInputAndDrain) {
  struct Case {
    uint32_t type;
    uint32_t status;
    const char* line;
  };
  const Case cases[] = {
      {kMfEventError, 0x8000FFFF, "mf: event queue failed (hr=0x8000FFFF)"},
      {kMfEventNeedInput, 0xC00D36B2, "mf: event queue failed (hr=0xC00D36B2)"},
      {kMfEventHaveOutput, 0x80004005, "mf: event queue failed (hr=0x80004005)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    for (const bool drain : {false, true}) {
      ScriptedEvents script(clock);
      log.Clear();
      MfEventPump pump(script, clock, /*realtime=*/false);
      script.Add(3 * kMs, c.type, /*hr=*/0, c.status);
      script.Add(3 * kMs, kMfEventNeedInput);
      script.Add(3 * kMs, kMfEventDrainComplete);
      const int64_t start = clock.Now();
      if (drain) {
        EXPECT_FALSE(pump.FinishDrain());
      } else {
        EXPECT_EQ(pump.AcquireInputSlot(), MfEventPump::InputSlot::Failed);
      }
      EXPECT_EQ(pump.AcquireInputSlot(), MfEventPump::InputSlot::Failed);
      EXPECT_FALSE(pump.FinishDrain());
      EXPECT_LT(clock.Now() - start, 5 * kMs);
      EXPECT_EQ(script.collected, 0);
      EXPECT_EQ(pump.pendingInputRequests(), 0);
      EXPECT_EQ(log.Lines(), std::vector<std::string>{c.line});
    }
  }
}

// The 1 ms waits go to the clock's one-shot timer (precise on Windows) and
// fall back to the coarse sleep only where no timer can be made.
TEST_F(MfEventPumpTest, WaitsOnTheOneShotTimerAndFallsBackToSleep) {
  for (const bool timerAvailable : {true, false}) {
    SCOPED_TRACE(timerAvailable);
    test::FakeClock local;
    local.SetTimerAvailable(timerAvailable);
    ScriptedEvents script(local);
    MfEventPump pump(script, local, /*realtime=*/true);
    EXPECT_EQ(pump.AcquireInputSlot(), MfEventPump::InputSlot::Dropped);
    script.Add(20 * kMs, kMfEventDrainComplete);
    EXPECT_TRUE(pump.FinishDrain());
    const int64_t waits = timerAvailable ? local.timerWaits() : local.sleepCalls();
    EXPECT_GE(waits, 220);
    EXPECT_LE(waits, 222);
    EXPECT_EQ(timerAvailable ? local.sleepCalls() : local.timerWaits(), 0);
  }
}

TEST_F(MfEventPumpTest, SuccessCodesOtherThanZeroAreNotFailures) {
  MfEventPump pump(events, clock, /*realtime=*/true);
  events.Add(0, kMfEventNeedInput, /*hr=*/1);  // S_FALSE
  EXPECT_EQ(pump.AcquireInputSlot(), MfEventPump::InputSlot::Granted);
}

TEST_F(MfEventPumpTest, DrainCollectsUntilComplete) {
  MfEventPump pump(events, clock, /*realtime=*/true);
  events.Add(0, kMfEventHaveOutput);
  events.Add(3 * kMs, kMfEventNeedInput);  // ignored while draining
  events.Add(20 * kMs, kMfEventHaveOutput);
  events.Add(30 * kMs, kMfEventDrainComplete);
  events.Add(30 * kMs, kMfEventHaveOutput);  // after completion: not taken
  EXPECT_TRUE(pump.FinishDrain());
  EXPECT_EQ(events.collected, 2);
  EXPECT_EQ(pump.pendingInputRequests(), 0);
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(MfEventPumpTest, DrainGivesUpAfterTenSeconds) {
  MfEventPump pump(events, clock, /*realtime=*/true);
  events.Add(0, kMfEventHaveOutput);
  const int64_t start = clock.Now();
  EXPECT_FALSE(pump.FinishDrain());
  EXPECT_EQ(events.collected, 1);
  EXPECT_GE(clock.Now() - start, 10 * kTicksPerSecond);
  EXPECT_LT(clock.Now() - start, 10 * kTicksPerSecond + 5 * kMs);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"mf: encoder didn't finish draining"});
}

TEST_F(MfEventPumpTest, DrainStopsOnQueueFailureWithoutTheTimeoutLine) {
  MfEventPump pump(events, clock, /*realtime=*/false);
  events.Add(2 * kMs, 0, 0x80004005);
  const int64_t start = clock.Now();
  EXPECT_FALSE(pump.FinishDrain());
  EXPECT_LT(clock.Now() - start, 10 * kMs);
  EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
}  // namespace kp
