// The pipeline loop on a deterministic clock with a scripted chain: pacing,
// skipping, time stamps, rebuilds, failure retries, end time and stop.
#include "engine/pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <thread>
#include <vector>

#include "fake_video_chain.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"

namespace kp {
namespace {

using test::FakeChainFactory;
using test::FakeClock;
using test::FrameCall;
using test::LogCapture;

constexpr int64_t kMs = kTicksPerMillisecond;
constexpr int64_t kSecond = kTicksPerSecond;
constexpr int64_t kNoEnd = std::numeric_limits<int64_t>::max();

struct SeenPacket {
  int64_t pts = 0;
  int64_t duration = 0;
  int chain = -1;        // which chain's track info came with it
  int64_t clockAt = 0;   // when the sink got it
  bool capturing = false;
};

class PipelineLoopTest : public ::testing::Test {
 protected:
  PipelineLoopTest() { config.fps = 60; }

  void Run(PipelineState& state, int64_t endTime) {
    RunPipeline(state, stop, endTime,
                [&](const VideoTrackInfo& info, std::shared_ptr<const EncodedPacket> packet) {
                  seen.push_back({packet->pts, packet->duration, info.sps.size() > 1 ? info.sps[1] : -1, clock.Now(),
                                  state.capturing.load()});
                  if (onPacket) onPacket();
                });
  }

  static int64_t Slot(int64_t start, int64_t k, int64_t fps) { return start + k * kSecond / fps; }

  std::vector<int64_t> SeenPts(int chain = -1) const {
    std::vector<int64_t> pts;
    for (const SeenPacket& p : seen) {
      if (chain < 0 || p.chain == chain) pts.push_back(p.pts);
    }
    return pts;
  }

  FakeClock clock;
  FakeChainFactory factory;
  PipelineConfig config;
  std::atomic<bool> stop{false};
  std::vector<SeenPacket> seen;
  std::function<void()> onPacket;
  const int64_t t0 = clock.Now();
};

TEST_F(PipelineLoopTest, LongFrameSkipsExactlyOneSlotAndKeepsTheGrid) {
  PipelineState state(config, factory, clock);
  factory.compose = [&](FrameCall call) {
    if (call.frame == 3) clock.Advance(40 * kMs);  // slot 3 takes 40 ms of work
    return true;
  };
  Run(state, t0 + kSecond);

  std::vector<int64_t> expected;
  for (int64_t k = 0; k < 60; ++k) {
    if (k != 4) expected.push_back(Slot(t0, k, 60));
  }
  EXPECT_EQ(SeenPts(), expected);
  EXPECT_EQ(state.framesSkipped, 1);
  EXPECT_EQ(state.framesEncoded, 59);
  EXPECT_EQ(state.bytesEncoded, 59 * 100);
  EXPECT_EQ(state.workTicksMax, 40 * kMs);
  EXPECT_EQ(state.workTicksTotal, 40 * kMs);
  // Slot 5 is encoded at once, right where slot 3 ended, not waited for.
  ASSERT_GE(seen.size(), 5u);
  EXPECT_EQ(seen[4].pts, Slot(t0, 5, 60));
  EXPECT_EQ(seen[4].clockAt, Slot(t0, 3, 60) + 40 * kMs);
  for (const SeenPacket& p : seen) {
    const int64_t k = ((p.pts - t0) * 60 + kSecond / 2) / kSecond;  // nearest slot
    EXPECT_EQ(p.duration, Slot(t0, k + 1, 60) - Slot(t0, k, 60)) << "slot " << k;
  }
}

TEST_F(PipelineLoopTest, WaitsOnTheTimerOrFallsBackToSleep) {
  for (bool timer : {true, false}) {
    SCOPED_TRACE(timer ? "timer" : "sleep");
    FakeClock localClock;
    localClock.SetTimerAvailable(timer);
    FakeChainFactory localFactory;
    PipelineState state(config, localFactory, localClock);
    std::vector<int64_t> pts;
    const int64_t start = localClock.Now();
    RunPipeline(state, stop, start + kSecond,
                [&](const VideoTrackInfo&, std::shared_ptr<const EncodedPacket> p) { pts.push_back(p->pts); });
    ASSERT_EQ(pts.size(), 60u);
    for (int64_t k = 0; k < 60; ++k) EXPECT_EQ(pts[k], Slot(start, k, 60));
    EXPECT_EQ(state.framesSkipped, 0);
    if (timer) {
      EXPECT_EQ(localClock.timerWaits(), 59);
      EXPECT_EQ(localClock.sleepCalls(), 0);
    } else {
      EXPECT_EQ(localClock.timerWaits(), 0);
      EXPECT_GE(localClock.sleepCalls(), 59);
    }
  }
}

TEST_F(PipelineLoopTest, DeviceLossRebuildsOnceAndKeepsTheClock) {
  PipelineState state(config, factory, clock);
  LogCapture log;
  factory.acquire = [](FrameCall call) {
    return call.chain == 0 && call.frame == 10 ? CaptureStatus::DeviceLost : CaptureStatus::NewFrame;
  };
  bool capturingWhileRebuilding = true;
  factory.createDevice = [&](int chain) {
    if (chain == 1) {
      capturingWhileRebuilding = state.capturing;
      clock.Advance(50 * kMs);  // the rebuild takes three frame intervals
    }
    return true;
  };
  factory.recoveries = [](int chain) { return chain == 0 ? 2 : 3; };
  Run(state, t0 + kSecond);

  EXPECT_FALSE(capturingWhileRebuilding);

  EXPECT_TRUE(log.Has("pipeline: GPU device lost (driver reset?) — rebuilding, buffer is kept"));
  EXPECT_EQ(log.CountStartingWith("pipeline: GPU device lost"), 1);
  EXPECT_EQ(state.rebuilds, 1);
  EXPECT_EQ(factory.chainsCreated, 2);
  // Same grid before and after; the slots spent rebuilding are skipped.
  std::vector<int64_t> expected;
  for (int64_t k = 0; k < 60; ++k) {
    if (k < 10 || k >= 13) expected.push_back(Slot(t0, k, 60));
  }
  EXPECT_EQ(SeenPts(), expected);
  EXPECT_EQ(SeenPts(0).size(), 10u);
  EXPECT_EQ(state.framesSkipped, 3);
  EXPECT_EQ(state.frameFailures, 0);
  EXPECT_EQ(state.recoveries, 5);  // both chains' recoveries count
  EXPECT_EQ(factory.chainsDestroyed, 2);
}

TEST_F(PipelineLoopTest, DeviceLossWithFailedRebuildRetriesAfterTwoSeconds) {
  PipelineState state(config, factory, clock);
  LogCapture log;
  factory.acquire = [](FrameCall call) {
    return call.chain == 0 && call.frame == 10 ? CaptureStatus::DeviceLost : CaptureStatus::NewFrame;
  };
  std::vector<bool> capturingAtBuild;
  factory.findOutput = [&](int chain) {
    capturingAtBuild.push_back(state.capturing);
    return chain != 1;
  };
  Run(state, t0 + 3 * kSecond);

  // The failed rebuild is logged like any failed build, then retried once.
  EXPECT_EQ(log.CountStartingWith("pipeline: build failed, retrying in 2s"), 1);
  EXPECT_EQ(capturingAtBuild, (std::vector<bool>{false, false, false}));
  EXPECT_EQ(state.rebuilds, 1);
  EXPECT_EQ(factory.chainsCreated, 3);
  const std::vector<int64_t> second = SeenPts(2);
  ASSERT_FALSE(second.empty());
  // Built from nothing: a new grid starting when the retry came due.
  const int64_t lostAt = Slot(t0, 10, 60);
  EXPECT_EQ(second.front(), lostAt + 2 * kSecond);
  for (size_t k = 0; k < second.size(); ++k) EXPECT_EQ(second[k], Slot(second.front(), k, 60));
  EXPECT_LT(second.back(), t0 + 3 * kSecond);
}

TEST_F(PipelineLoopTest, ThirtyConsecutiveFailuresRebuildAndRestartTheGrid) {
  PipelineState state(config, factory, clock);
  LogCapture log;
  // Frames 5..19 fail in the composer, 20..34 in the encoder: 30 in a row.
  factory.compose = [](FrameCall call) { return !(call.chain == 0 && call.frame >= 5 && call.frame < 20); };
  factory.encode = [](FrameCall call, int64_t pts, int64_t duration, PacketList& packets) {
    if (call.chain == 0 && call.frame >= 20 && call.frame < 35) return false;
    auto p = std::make_shared<EncodedPacket>();
    p->pts = pts;
    p->duration = duration;
    p->data.assign(10, 1);
    packets.push_back(p);
    return true;
  };
  factory.recoveries = [](int chain) { return chain == 0 ? 7 : 1; };
  Run(state, t0 + kSecond);

  EXPECT_TRUE(log.Has("pipeline: 30 consecutive frame failures — rebuilding"));
  EXPECT_EQ(log.CountStartingWith("pipeline: 30 consecutive"), 1);
  EXPECT_EQ(state.rebuilds, 1);
  EXPECT_EQ(state.frameFailures, 30);
  EXPECT_EQ(factory.chainsCreated, 2);
  EXPECT_EQ(state.recoveries, 1);  // the failing chain's recoveries are dropped

  const std::vector<int64_t> first = SeenPts(0);
  ASSERT_EQ(first.size(), 5u);
  EXPECT_EQ(first.back(), Slot(t0, 4, 60));
  // The new chain starts its own grid at the time of the 30th failure
  // (slot 34 of the old grid); its second slot is not an old-grid slot.
  const std::vector<int64_t> second = SeenPts(1);
  ASSERT_GE(second.size(), 2u);
  const int64_t start2 = Slot(t0, 34, 60);
  EXPECT_EQ(second.front(), start2);
  for (size_t k = 0; k < second.size(); ++k) EXPECT_EQ(second[k], Slot(start2, k, 60));
  EXPECT_NE(second[1], Slot(t0, 35, 60));
  EXPECT_LT(second.back(), t0 + kSecond);
  EXPECT_EQ(state.framesEncoded, static_cast<int64_t>(seen.size()));
}

TEST_F(PipelineLoopTest, ASuccessResetsTheFailureCount) {
  PipelineState state(config, factory, clock);
  factory.compose = [](FrameCall call) { return call.frame == 29 || call.frame >= 59; };
  Run(state, t0 + kSecond);
  EXPECT_EQ(state.rebuilds, 0);
  EXPECT_EQ(state.frameFailures, 58);
  EXPECT_EQ(factory.chainsCreated, 1);
  EXPECT_EQ(state.framesEncoded, 2);
}

TEST_F(PipelineLoopTest, FailingBuildRetriesEveryTwoSecondsAndNoticesStop) {
  PipelineState state(config, factory, clock);
  LogCapture log;
  std::vector<int64_t> attempts;
  factory.findOutput = [&](int) {
    attempts.push_back(clock.Now());
    return false;
  };
  int64_t largestStep = 0;
  int64_t previous = clock.Now();
  int64_t stopAt = 0;
  clock.SetOnAdvance([&](int64_t now) {
    largestStep = std::max(largestStep, now - previous);
    previous = now;
    if (stopAt == 0 && now >= t0 + 7 * kSecond + 50 * kMs) {
      stopAt = now;
      stop = true;
    }
  });
  Run(state, kNoEnd);

  EXPECT_EQ(attempts, (std::vector<int64_t>{t0, t0 + 2 * kSecond, t0 + 4 * kSecond, t0 + 6 * kSecond}));
  EXPECT_EQ(log.CountStartingWith("pipeline: no display output found"), 4);
  EXPECT_EQ(log.CountStartingWith("pipeline: build failed, retrying in 2s"), 4);
  EXPECT_TRUE(log.Has("pipeline: build failed, retrying in 2s"));
  // The stop flag is polled at least every 100 ms and acted on at once.
  EXPECT_LE(largestStep, 100 * kMs);
  EXPECT_EQ(clock.Now(), stopAt);
  EXPECT_EQ(state.rebuilds, 0);  // build retries are not rebuilds
  EXPECT_FALSE(state.capturing);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(factory.chainsDestroyed, factory.chainsCreated);
}

TEST_F(PipelineLoopTest, EndTimeEndsARunThatNeverBuilds) {
  // The Windows build without its GPU chain makes no chain at all; a chain
  // that finds no output behaves the same.
  for (bool noChain : {true, false}) {
    SCOPED_TRACE(noChain ? "no chain" : "no output");
    FakeClock localClock;
    FakeChainFactory localFactory;
    localFactory.returnNoChain = noChain;
    localFactory.findOutput = [](int) { return false; };
    PipelineState state(config, localFactory, localClock);
    LogCapture log;
    const int64_t start = localClock.Now();
    const int64_t end = start + 5 * kSecond + 30 * kMs;
    RunPipeline(state, stop, end, nullptr);
    EXPECT_GE(localClock.Now(), end);
    EXPECT_LT(localClock.Now(), end + kMs);
    EXPECT_EQ(log.CountStartingWith("pipeline: build failed, retrying in 2s"), 3);  // at 0, 2 and 4 s
    EXPECT_EQ(state.framesEncoded, 0);
  }
}

TEST_F(PipelineLoopTest, EncodesOnlySlotsBeforeTheEndTime) {
  struct Case {
    int fps;
    int64_t length;
    size_t packets;
  };
  const Case cases[] = {
      {30, 3 * kSecond, 90},              // slot 90 lies exactly at the end: not encoded
      {30, kSecond + 10 * kMs, 31},       // slot 30 (1.000 s) is before 1.010 s
      {60, 2 * kSecond, 120},
      {7, kSecond, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fps);
    FakeClock localClock;
    FakeChainFactory localFactory;
    PipelineConfig localConfig;
    localConfig.fps = c.fps;
    PipelineState state(localConfig, localFactory, localClock);
    std::vector<int64_t> pts;
    const int64_t start = localClock.Now();
    RunPipeline(state, stop, start + c.length,
                [&](const VideoTrackInfo&, std::shared_ptr<const EncodedPacket> p) { pts.push_back(p->pts); });
    ASSERT_EQ(pts.size(), c.packets);
    EXPECT_LT(pts.back(), start + c.length);
    EXPECT_EQ(pts.back(), Slot(start, static_cast<int64_t>(c.packets) - 1, c.fps));
    EXPECT_EQ(state.framesEncoded, static_cast<int64_t>(c.packets));
    EXPECT_EQ(localFactory.threadEnters, 1);
    EXPECT_EQ(localFactory.threadLeaves, 1);
    EXPECT_FALSE(state.pipeline);
  }
}

TEST_F(PipelineLoopTest, EncodesStillAndMissingImagesAndTracksCapturing) {
  config.showCursor = false;
  PipelineState state(config, factory, clock);
  factory.acquire = [](FrameCall call) {
    if (call.frame < 3) return CaptureStatus::NoFrame;
    if (call.frame < 5) return CaptureStatus::Unchanged;
    return CaptureStatus::NewFrame;
  };
  Run(state, t0 + 6 * kSecond / 60);
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_FALSE(seen[0].capturing);
  EXPECT_FALSE(seen[2].capturing);
  EXPECT_TRUE(seen[3].capturing);
  EXPECT_TRUE(seen[5].capturing);
  EXPECT_FALSE(state.capturing);  // false again after the run
  ASSERT_EQ(factory.showCursorSeen.size(), 6u);
  for (bool cursor : factory.showCursorSeen) EXPECT_FALSE(cursor);
}

TEST_F(PipelineLoopTest, StopFromTheSinkEndsTheRunAndTearsDown) {
  PipelineState state(config, factory, clock);
  onPacket = [&] {
    if (seen.size() == 5) stop = true;
  };
  Run(state, kNoEnd);
  EXPECT_EQ(seen.size(), 5u);
  EXPECT_FALSE(state.pipeline);
  EXPECT_EQ(factory.chainsDestroyed, 1);
  EXPECT_EQ(factory.threadLeaves, 1);
}

TEST_F(PipelineLoopTest, FirstBuildFixesTheOutputSizeForTheRun) {
  config.height = 1080;
  PipelineState state(config, factory, clock);
  LogCapture log;
  factory.outputFor = [](int chain) {
    return chain == 0 ? OutputDescription{L"Left GPU", -2560, 0, 0, 1440}
                      : OutputDescription{L"Other GPU", 0, 0, 1280, 1024};
  };
  factory.acquire = [](FrameCall call) {
    return call.chain == 0 && call.frame == 2 ? CaptureStatus::DeviceLost : CaptureStatus::NewFrame;
  };
  Run(state, t0 + kSecond / 10);

  EXPECT_TRUE(log.Has("pipeline: gpu Left GPU"));
  EXPECT_TRUE(log.Has("pipeline: gpu Other GPU"));
  ASSERT_EQ(factory.encoderConfigs.size(), 2u);
  for (const EncoderConfig& e : factory.encoderConfigs) {
    EXPECT_EQ(e.width, 1920u);
    EXPECT_EQ(e.height, 1080u);
    EXPECT_EQ(e.fps, 60u);
    EXPECT_EQ(e.rateControl, RateControl::ConstantQuality);
    EXPECT_EQ(e.quality, 23u);
    EXPECT_EQ(e.maxBitrate, 19'906'560u);
  }
  EXPECT_EQ(factory.composerSizes, (std::vector<uint32_t>{1920, 1080, 1920, 1080}));
  EXPECT_EQ(state.outputWidth, 1920u);
  EXPECT_EQ(state.outputHeight, 1080u);
}

TEST_F(PipelineLoopTest, AFailedBuildStepLeavesNothingBehind) {
  PipelineState state(config, factory, clock);
  LogCapture log;
  factory.createEncoder = [](int chain) { return chain > 0; };
  Run(state, t0 + 2 * kSecond + kSecond / 10);
  EXPECT_EQ(factory.chainsCreated, 2);
  EXPECT_EQ(factory.chainsDestroyed, 2);
  EXPECT_EQ(log.CountStartingWith("pipeline: build failed, retrying in 2s"), 1);
  const std::vector<int64_t> pts = SeenPts(1);
  ASSERT_EQ(pts.size(), 6u);
  EXPECT_EQ(pts.front(), t0 + 2 * kSecond);
  EXPECT_EQ(state.framesEncoded, 6);
}

// The stop flag set by another thread ends a run that waits for a retry,
// on the real clock.
TEST(PipelineThreadTest, StopFromAnotherThreadEndsAWaitingRun) {
  FakeChainFactory factory;
  factory.findOutput = [](int) { return false; };
  PipelineConfig config;
  PipelineState state(config, factory);
  std::atomic<bool> stop{false};
  std::thread pipeline([&] { RunPipeline(state, stop, kNoEnd, nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  const auto stopAt = std::chrono::steady_clock::now();
  stop = true;
  pipeline.join();
  const auto latency = std::chrono::steady_clock::now() - stopAt;
  // 100 ms polling; the bound leaves room for a busy machine.
  EXPECT_LT(latency, std::chrono::milliseconds(1000));
  EXPECT_EQ(factory.chainsCreated, 1);
}

}  // namespace
}  // namespace kp
