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

// Realtime waits go to the one-shot timer; offline ones (here without a timer) sleep.
TEST_F(MfEventPumpTest, WaitsForInputUpToTheLimitAndReportsOnlyTheFirstDrop) {
  for (const auto& [realtime, limit] : {std::pair{true, 200 * kMs}, std::pair{false, 10 * kTicksPerSecond}}) {
    SCOPED_TRACE(realtime ? "realtime" : "offline");
    test::FakeClock local;
    local.SetTimerAvailable(realtime);
    ScriptedEvents script(local);
    MfEventPump pump(script, local, realtime);
    script.Add(limit - kMs, kMfEventNeedInput);
    EXPECT_EQ(pump.AcquireInputSlot(), Slot::Granted);
    const int64_t begin = local.Now();
    EXPECT_EQ(pump.AcquireInputSlot(), Slot::Dropped);
    EXPECT_GE(local.Now() - begin, limit);
    EXPECT_LT(local.Now() - begin, limit + 2 * kMs);
    const int64_t waits = 2 * limit / kMs;
    EXPECT_NEAR(realtime ? local.timerWaits() : local.sleepCalls(), waits, 2);
    EXPECT_EQ(realtime ? local.sleepCalls() : local.timerWaits(), 0);
    // A request that arrives after the limit serves the next frame.
    script.Add(limit + 50 * kMs, kMfEventNeedInput);
    EXPECT_EQ(pump.AcquireInputSlot(), Slot::Dropped);
    EXPECT_EQ(pump.AcquireInputSlot(), Slot::Granted);
    EXPECT_EQ(log.Lines(), Lines{"mf: encoder didn't ask for input in time, dropping a frame"});
    log.Clear();
  }
}

// About 1 s of drops in a row (five 200 ms waits) stalls a watched transform:
// later frames fail at once, without waiting, until it asks for input again.
// A granted frame starts the count anew; an unwatched transform only drops.
TEST_F(MfEventPumpTest, AStallFailsFramesAtOnceOnlyWhenWatched) {
  for (const bool watched : {true, false}) {
    SCOPED_TRACE(watched ? "watched" : "not watched");
    test::FakeClock local;
    ScriptedEvents script(local);
    log.Clear();
    MfEventPump pump(script, local, /*realtime=*/true, watched);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(pump.AcquireInputSlot(), Slot::Dropped) << i;
    script.Add(0, kMfEventNeedInput);
    EXPECT_EQ(pump.AcquireInputSlot(), Slot::Granted) << "0.8 s of drops are no stall";
    for (int i = 0; i < 5; ++i) EXPECT_EQ(pump.AcquireInputSlot(), Slot::Dropped) << i;
    const int64_t begin = local.Now();
    EXPECT_EQ(pump.AcquireInputSlot(), watched ? Slot::Failed : Slot::Dropped);
    EXPECT_EQ(pump.AcquireInputSlot(), watched ? Slot::Failed : Slot::Dropped);
    EXPECT_EQ(local.Now() - begin >= 400 * kMs, !watched) << "a stalled transform is not waited for";
    EXPECT_EQ(local.Now() == begin, watched);
    script.Add(0, kMfEventNeedInput);
    EXPECT_EQ(pump.AcquireInputSlot(), Slot::Granted);
    EXPECT_EQ(pump.AcquireInputSlot(), Slot::Dropped) << "waiting again";
    Lines expected{"mf: encoder didn't ask for input in time, dropping a frame"};
    if (watched) expected.push_back("mf: encoder stopped asking for input \xE2\x80\x94 failing its frames");
    EXPECT_EQ(log.Lines(), expected);
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
  EXPECT_EQ(pump.AcquireInputSlot(), Slot::Granted);
  EXPECT_EQ(pump.AcquireInputSlot(), Slot::Granted);
  EXPECT_EQ(Elapsed(), 0) << "neither the pump nor pending requests wait";
  EXPECT_EQ(pump.pendingInputRequests(), 0);
}

// A failing queue fails the call; a transform reporting failure (MEError, or a
// failed status) fails input and drain for good, logging once.
TEST_F(MfEventPumpTest, QueueAndTransformFailures) {
  MfEventPump pump(events, clock, /*realtime=*/true);
  events.Add(0, 0, 0x80004005);
  EXPECT_EQ(pump.AcquireInputSlot(), Slot::Failed);
  events.Add(0, 0, 0xC00D36B2);
  EXPECT_FALSE(pump.Pump(/*waitForInput=*/false));
  events.Add(2 * kMs, 0, 0x80004005);
  EXPECT_FALSE(pump.FinishDrain()) << "without the time-out line";
  EXPECT_LT(Elapsed(), 10 * kMs);
  EXPECT_EQ(log.Lines(), (Lines{"mf: event queue failed (hr=0x80004005)", "mf: event queue failed (hr=0xC00D36B2)"}));

  const uint32_t cases[][2] = {{kMfEventError, 0x8000FFFF}, {kMfEventNeedInput, 0xC00D36B2}};
  for (const auto& c : cases) {
    for (const bool drain : {false, true}) {
      SCOPED_TRACE(testing::Message() << "event " << c[0] << (drain ? " while draining" : ""));
      ScriptedEvents script(clock);
      test::LogCapture caseLog;
      MfEventPump failing(script, clock, /*realtime=*/false);
      script.Add(3 * kMs, c[0], /*hr=*/0, c[1]);
      script.Add(3 * kMs, kMfEventNeedInput);
      script.Add(3 * kMs, kMfEventDrainComplete);
      start = clock.Now();
      EXPECT_EQ(drain ? failing.FinishDrain() : failing.AcquireInputSlot() != Slot::Failed, false);
      EXPECT_EQ(failing.AcquireInputSlot(), Slot::Failed);
      EXPECT_FALSE(failing.FinishDrain());
      EXPECT_LT(Elapsed(), 5 * kMs);
      EXPECT_EQ(failing.pendingInputRequests(), 0);
      char line[64];
      std::snprintf(line, sizeof line, "mf: event queue failed (hr=0x%08X)", c[1]);
      EXPECT_EQ(caseLog.Lines(), Lines{line});
    }
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
