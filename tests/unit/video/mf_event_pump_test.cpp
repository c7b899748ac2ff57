#include "video/mf_event_pump.h"

#include <gtest/gtest.h>

#include <deque>

#include "support/fake_clock.h"
#include "support/log_capture.h"

namespace kp {
namespace {

constexpr int64_t kMs = kTicksPerMillisecond;
using Slot = MfEventPump::InputSlot;
using Lines = std::vector<std::string>;
const std::string kDropLine = "mf: encoder didn't ask for input in time, dropping a frame";

// A transform's event queue on a fake clock: each scripted event becomes
// visible once the clock reaches its time.
class ScriptedEvents : public MfEventSource {
 public:
  explicit ScriptedEvents(test::FakeClock& clock) : clock_(clock) {}
  void Add(int64_t after, uint32_t type, uint32_t hr = 0, uint32_t status = 0) {
    queue_.push_back({clock_.Now() + after, MfEventPoll{hr, type, status}});
  }
  MfEventPoll PollEvent() override {
    if (queue_.empty() || queue_.front().first > clock_.Now()) return MfEventPoll{kMfNoEventsAvailable, 0};
    const MfEventPoll poll = queue_.front().second;
    queue_.pop_front();
    return poll;
  }
  bool CollectOutput() override { return ++collected > 0; }
  int collected = 0;

 private:
  test::FakeClock& clock_;
  std::deque<std::pair<int64_t, MfEventPoll>> queue_;
};

class MfEventPumpTest : public ::testing::Test {
 protected:
  int64_t Elapsed() { return clock.Now() - start; }
  test::FakeClock clock;
  ScriptedEvents events{clock};
  test::LogCapture log;
  int64_t start = clock.Now();
};

TEST_F(MfEventPumpTest, WaitsForInputUpToTheLimitAndReportsOnlyTheFirstDrop) {
  for (const auto& [realtime, limit] : {std::pair{true, 200 * kMs}, std::pair{false, 10 * kTicksPerSecond}}) {
    SCOPED_TRACE(realtime ? "realtime" : "offline");
    ScriptedEvents script(clock);
    MfEventPump pump(script, clock, realtime);
    script.Add(limit - kMs, kMfEventNeedInput);
    EXPECT_EQ(pump.AcquireInputSlot(), Slot::Granted);
    start = clock.Now();
    EXPECT_EQ(pump.AcquireInputSlot(), Slot::Dropped);
    EXPECT_GE(Elapsed(), limit);
    EXPECT_LT(Elapsed(), limit + 2 * kMs);
    // A request that arrives after the limit serves the next frame.
    script.Add(limit + 50 * kMs, kMfEventNeedInput);
    EXPECT_EQ(pump.AcquireInputSlot(), Slot::Dropped);
    EXPECT_EQ(pump.AcquireInputSlot(), Slot::Granted);
    EXPECT_EQ(log.Lines(), Lines{kDropLine});
    log.Clear();
  }
}

TEST_F(MfEventPumpTest, CollectsOutputsAndCountsRequestsWhilePumping) {
  MfEventPump pump(events, clock, /*realtime=*/true);
  events.Add(0, kMfEventHaveOutput);
  events.Add(0, kMfEventNeedInput, /*hr=*/1);  // S_FALSE is a success
  events.Add(0, 999);                          // unknown events are ignored
  events.Add(0, kMfEventHaveOutput);
  events.Add(0, kMfEventNeedInput);
  events.Add(1 * kMs, kMfEventHaveOutput);  // not there yet
  EXPECT_TRUE(pump.Pump(/*waitForInput=*/false));
  EXPECT_EQ(events.collected, 2);
  EXPECT_EQ(pump.pendingInputRequests(), 2);
  EXPECT_EQ(Elapsed(), 0) << "without waiting, the first empty poll ends the pump";
  EXPECT_EQ(pump.AcquireInputSlot(), Slot::Granted);
  EXPECT_EQ(pump.AcquireInputSlot(), Slot::Granted);
  EXPECT_EQ(Elapsed(), 0) << "pending requests need no waiting";
  EXPECT_EQ(pump.pendingInputRequests(), 0);
}

TEST_F(MfEventPumpTest, QueueFailureIsLoggedAndFails) {
  MfEventPump pump(events, clock, /*realtime=*/true);
  events.Add(0, 0, 0x80004005);
  EXPECT_EQ(pump.AcquireInputSlot(), Slot::Failed);
  events.Add(0, 0, 0xC00D36B2);
  EXPECT_FALSE(pump.Pump(/*waitForInput=*/false));
  // A failing queue ends a drain too, without the time-out line.
  events.Add(2 * kMs, 0, 0x80004005);
  EXPECT_FALSE(pump.FinishDrain());
  EXPECT_LT(Elapsed(), 10 * kMs);
  EXPECT_EQ(log.Lines(), (Lines{"mf: event queue failed (hr=0x80004005)", "mf: event queue failed (hr=0xC00D36B2)"}));
}

// A transform that fails says so through an event: MEError, or any event with
// a failed status. Input and drain waits end at once with the status logged,
// nothing after it is taken, and every later call fails too without another
// line, or the caller would count the following frames as dropped.
TEST_F(MfEventPumpTest, AnEventReportingFailureFailsInputAndDrainForGood) {
  const uint32_t cases[][2] = {{kMfEventError, 0x8000FFFF}, {kMfEventNeedInput, 0xC00D36B2}};
  for (const auto& c : cases) {
    for (const bool drain : {false, true}) {
      SCOPED_TRACE(testing::Message() << "event " << c[0] << (drain ? " while draining" : ""));
      ScriptedEvents script(clock);
      test::LogCapture caseLog;
      MfEventPump pump(script, clock, /*realtime=*/false);
      script.Add(3 * kMs, c[0], /*hr=*/0, c[1]);
      script.Add(3 * kMs, kMfEventNeedInput);
      script.Add(3 * kMs, kMfEventDrainComplete);
      start = clock.Now();
      EXPECT_EQ(drain ? pump.FinishDrain() : pump.AcquireInputSlot() != Slot::Failed, false);
      EXPECT_EQ(pump.AcquireInputSlot(), Slot::Failed);
      EXPECT_FALSE(pump.FinishDrain());
      EXPECT_LT(Elapsed(), 5 * kMs);
      EXPECT_EQ(pump.pendingInputRequests(), 0);
      char line[64];
      std::snprintf(line, sizeof line, "mf: event queue failed (hr=0x%08X)", c[1]);
      EXPECT_EQ(caseLog.Lines(), Lines{line});
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
    EXPECT_EQ(pump.AcquireInputSlot(), Slot::Dropped);
    script.Add(20 * kMs, kMfEventDrainComplete);
    EXPECT_TRUE(pump.FinishDrain());
    const int64_t waits = timerAvailable ? local.timerWaits() : local.sleepCalls();
    EXPECT_GE(waits, 220);
    EXPECT_LE(waits, 222);
    EXPECT_EQ(timerAvailable ? local.sleepCalls() : local.timerWaits(), 0);
  }
}

TEST_F(MfEventPumpTest, DrainCollectsUntilCompleteOrGivesUpAfterTenSeconds) {
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

  start = clock.Now();
  EXPECT_FALSE(pump.FinishDrain());
  EXPECT_EQ(events.collected, 3) << "the output left over is still collected";
  EXPECT_GE(Elapsed(), 10 * kTicksPerSecond);
  EXPECT_LT(Elapsed(), 10 * kTicksPerSecond + 2 * kMs);
  EXPECT_EQ(log.Lines(), Lines{"mf: encoder didn't finish draining"});
}

}  // namespace
}  // namespace kp
