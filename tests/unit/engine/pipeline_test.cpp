// The pipeline loop on a deterministic clock with a scripted chain.
#include "engine/pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <limits>

#include "fake_video_chain.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"

namespace kp {
namespace {

using test::FakeChainFactory;
using test::FakeClock;
using test::FrameCall;
using Ticks = std::vector<int64_t>;

constexpr int64_t kMs = kTicksPerMillisecond;
constexpr int64_t kSecond = kTicksPerSecond;

int64_t Slot(int64_t start, int64_t k) { return start + k * kSecond / 60; }

// The slots of a 60 fps grid from `start` before `end`, without `skipped`.
Ticks Grid(int64_t start, int64_t end, Ticks skipped = {}) {
  Ticks out;
  for (int64_t k = 0; Slot(start, k) < end; ++k) {
    if (std::find(skipped.begin(), skipped.end(), k) == skipped.end()) out.push_back(Slot(start, k));
  }
  return out;
}

struct Seen {
  int64_t pts, duration;
  int chain;        // which chain's track info came with it
  int64_t clockAt;  // when the sink got it
  bool capturing;
};

class PipelineLoopTest : public ::testing::Test {
 protected:
  void Run(int64_t endTime) {
    RunPipeline(state, stop, endTime, [&](const VideoTrackInfo& info, std::shared_ptr<const EncodedPacket> packet) {
      seen.push_back({packet->pts, packet->duration, info.sps[1], clock.Now(), state.capturing.load()});
    });
  }
  Ticks Pts(int chain = -1) const {
    Ticks pts;
    for (const Seen& p : seen) {
      if (chain < 0 || p.chain == chain) pts.push_back(p.pts);
    }
    return pts;
  }
  // The n-th frame of chain 0 reports a lost device.
  void LoseDeviceAt(int64_t frame) {
    factory.acquire = [frame](FrameCall c) {
      return c.chain == 0 && c.frame == frame ? CaptureStatus::DeviceLost : CaptureStatus::NewFrame;
    };
  }

  FakeClock clock;
  FakeChainFactory factory;
  PipelineState state{PipelineConfig{}, factory, clock};
  std::atomic<bool> stop{false};
  std::vector<Seen> seen;
  test::LogCapture log;
  const int64_t t0 = clock.Now();
};

TEST_F(PipelineLoopTest, LongFrameSkipsExactlyOneSlotAndKeepsTheGrid) {
  factory.compose = [&](FrameCall call) {
    if (call.frame == 3) clock.Advance(40 * kMs);  // slot 3 takes 40 ms of work
    return true;
  };
  Run(t0 + kSecond);
  EXPECT_EQ(Pts(), Grid(t0, t0 + kSecond, {4}));
  // Slot 5 is encoded at once, right where slot 3 ended, not waited for.
  EXPECT_EQ((Ticks{state.framesSkipped, state.bytesEncoded, state.workTicksMax, state.workTicksTotal,
                   seen[4].clockAt - t0, seen[0].duration, seen[1].duration}),
            (Ticks{1, 59 * 100, 40 * kMs, 40 * kMs, Slot(0, 3) + 40 * kMs, 166'666, 166'667}));
}

// A lost device and a monitor that moved to another GPU rebuild alike; only
// the lost device counts and is logged as a rebuild.
TEST_F(PipelineLoopTest, DeviceLossAndMoveRebuildOnceAndKeepTheClock) {
  for (const CaptureStatus status : {CaptureStatus::DeviceLost, CaptureStatus::RebuildRequested}) {
    const bool lost = status == CaptureStatus::DeviceLost;
    SCOPED_TRACE(lost ? "device lost" : "rebuild requested");
    FakeClock clock;
    FakeChainFactory factory;
    PipelineState state{PipelineConfig{}, factory, clock};
    test::LogCapture log;
    // 2.5 s after the build.
    factory.acquire = [status](FrameCall c) { return c.chain == 0 && c.frame == 150 ? status : CaptureStatus::NewFrame; };
    bool capturingWhileRebuilding = true;
    factory.createDevice = [&](int chain) {
      if (chain == 1) {
        capturingWhileRebuilding = state.capturing;
        clock.Advance(50 * kMs);  // the rebuild takes three frame intervals
      }
      return true;
    };
    factory.recoveries = [](int chain) { return chain == 0 ? 2 : 3; };
    Ticks pts;
    const int64_t t0 = clock.Now();
    std::atomic<bool> stop{false};
    RunPipeline(state, stop, t0 + 3 * kSecond,
                [&](const VideoTrackInfo&, std::shared_ptr<const EncodedPacket> p) { pts.push_back(p->pts); });

    EXPECT_FALSE(capturingWhileRebuilding);
    EXPECT_EQ(log.CountStartingWith("pipeline: GPU device lost (driver reset?) — rebuilding, buffer is kept"),
              lost ? 1 : 0);
    // Same grid before and after; the slots spent rebuilding are skipped.
    EXPECT_EQ(pts, Grid(t0, t0 + 3 * kSecond, {150, 151, 152}));
    // Both chains' recoveries count.
    EXPECT_EQ((Ticks{state.rebuilds, state.framesSkipped, state.recoveries, factory.chainsDestroyed}),
              (Ticks{lost ? 1 : 0, 3, 5, 2}));
  }
}

// Slots while the capture is suspended are sent nowhere and counted nowhere:
// a cut on the same grid, not a gap of skipped or failed frames.
TEST_F(PipelineLoopTest, SuspendedSlotsAreNeitherEncodedNorCounted) {
  bool capturingWhenSuspended = true;
  factory.acquire = [&](FrameCall c) {
    if (c.frame == 25) capturingWhenSuspended = state.capturing;  // as frame 24 left it
    return c.frame >= 20 && c.frame < 40 ? CaptureStatus::Suspended : CaptureStatus::NewFrame;
  };
  Run(t0 + kSecond);
  Ticks cut;
  for (int64_t k = 20; k < 40; ++k) cut.push_back(k);
  EXPECT_EQ(Pts(), Grid(t0, t0 + kSecond, cut));
  EXPECT_EQ((Ticks{state.framesSkipped, state.frameFailures, state.rebuilds, state.framesEncoded}), (Ticks{0, 0, 0, 40}));
  EXPECT_FALSE(capturingWhenSuspended);
}

TEST_F(PipelineLoopTest, ARebuildAfterADeviceLossFailsAsOneEpisodeUntilItRecovers) {
  LoseDeviceAt(150);
  factory.findOutput = [](int chain) { return chain == 0 || chain == 3; };  // rebuilt at 2.5, 4.5, 6.5 s
  Run(t0 + 7 * kSecond);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                             "pipeline: gpu Fake GPU",
                             "pipeline: GPU device lost (driver reset?) — rebuilding, buffer is kept",
                             "pipeline: no display output found", "pipeline: build failed, retrying in 2s",
                             "pipeline: gpu Fake GPU", "pipeline: capture recovered after 2 failed attempts"}));
}

TEST_F(PipelineLoopTest, ThirtyConsecutiveFailuresRebuildAndRestartTheGrid) {
  // Frames 0..28 fail, 29 succeeds (the count starts again), then 30..44
  // fail in the composer and 45..59 in the encoder: 30 in a row.
  factory.compose = [](FrameCall c) { return !(c.chain == 0 && c.frame != 29 && c.frame < 45); };
  factory.encode = [](FrameCall c, int64_t pts, int64_t duration, PacketList& packets) {
    if (c.chain == 0 && c.frame >= 45 && c.frame < 60) return false;
    auto p = std::make_shared<EncodedPacket>();
    p->pts = pts;
    p->duration = duration;
    packets.push_back(p);
    return true;
  };
  factory.recoveries = [](int chain) { return chain == 0 ? 7 : 1; };
  Run(t0 + 2 * kSecond);

  EXPECT_EQ(log.CountStartingWith("pipeline: 30 consecutive frame failures — rebuilding"), 1);
  // The failing chain's recoveries are dropped.
  EXPECT_EQ((Ticks{state.rebuilds, state.frameFailures, state.recoveries}), (Ticks{1, 59, 1}));
  EXPECT_EQ(Pts(0), (Ticks{Slot(t0, 29)}));
  // The new chain starts its own grid at the 30th failure (old slot 59).
  EXPECT_EQ(Pts(1), Grid(Slot(t0, 59), t0 + 2 * kSecond));
  EXPECT_EQ(state.framesEncoded, static_cast<int64_t>(seen.size()));
}

TEST_F(PipelineLoopTest, FailingBuildRetriesEveryTwoSecondsAndNoticesStop) {
  Ticks attempts;
  factory.findOutput = [&](int) {
    attempts.push_back(clock.Now() - t0);
    return false;
  };
  int64_t largestStep = 0, previous = t0, stopAt = 0;
  clock.SetOnAdvance([&](int64_t now) {
    largestStep = std::max(largestStep, now - previous);
    previous = now;
    if (stopAt == 0 && now >= t0 + 7 * kSecond + 50 * kMs) {
      stopAt = now;
      stop = true;
    }
  });
  Run(std::numeric_limits<int64_t>::max());

  EXPECT_EQ(attempts, (Ticks{0, 2 * kSecond, 4 * kSecond, 6 * kSecond}));
  // Written by the first build, counted since, written with the count at the end.
  const std::string repeated = " (repeated 3 times in the last 1 min)";
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"pipeline: no display output found",
                                                   "pipeline: build failed, retrying in 2s",
                                                   "pipeline: no display output found" + repeated,
                                                   "pipeline: build failed, retrying in 2s" + repeated}));
  // The stop flag is polled at least every 100 ms and acted on at once.
  EXPECT_LE(largestStep, 100 * kMs);
  EXPECT_EQ(clock.Now(), stopAt);
  EXPECT_EQ(state.rebuilds, 0);  // build retries are not rebuilds
  EXPECT_EQ(factory.chainsDestroyed, factory.chainsCreated);
}

TEST_F(PipelineLoopTest, EndTimeEndsARunThatNeverBuilds) {
  // No chain at all (the Windows build without its GPU chain), or no output;
  // an end on the millisecond grid, or one tick past it (the waits round up).
  for (auto [noChain, extra] : {std::pair{true, 0}, {false, 0}, {false, 1}}) {
    factory.returnNoChain = noChain;
    factory.findOutput = [](int) { return false; };
    log.Clear();
    const int64_t end = clock.Now() + 5 * kSecond + 30 * kMs + extra;
    Run(end);
    EXPECT_TRUE(clock.Now() >= end && clock.Now() < end + kMs) << noChain << extra;
    // At 0, 2 and 4 s.
    EXPECT_TRUE(log.Has("pipeline: build failed, retrying in 2s (repeated 2 times in the last 1 min)"))
        << noChain << extra;
  }
}

TEST(PipelineEndTest, EncodesOnlySlotsBeforeTheEndTimeWaitingOnTimerOrSleep) {
  struct Case {
    int fps;
    int64_t length;
    bool timer;
    int64_t packets, lastPts;
  };
  const Case cases[] = {
      {30, 3 * kSecond, true, 90, 29'666'666},  // slot 90 lies exactly at the end: not encoded
      {30, kSecond + 10 * kMs, false, 31, 10'000'000},
      {7, kSecond, true, 7, 8'571'428},
  };
  for (const Case& c : cases) {
    FakeClock clock;
    clock.SetTimerAvailable(c.timer);
    FakeChainFactory factory;
    PipelineConfig config;
    config.fps = c.fps;
    PipelineState state(config, factory, clock);
    Ticks pts;
    const int64_t start = clock.Now();
    std::atomic<bool> stop{false};
    RunPipeline(state, stop, start + c.length,
                [&](const VideoTrackInfo&, std::shared_ptr<const EncodedPacket> p) { pts.push_back(p->pts - start); });
    SCOPED_TRACE(testing::Message() << c.fps << " fps, timer " << c.timer);
    ASSERT_EQ(static_cast<int64_t>(pts.size()), c.packets);
    EXPECT_EQ(pts.back(), c.lastPts);
    EXPECT_EQ(state.framesSkipped, 0);
    EXPECT_EQ(clock.timerWaits(), c.timer ? c.packets - 1 : 0);
    EXPECT_GE(clock.sleepCalls(), c.timer ? 0 : c.packets - 1);
    EXPECT_TRUE(factory.threadEnters == 1 && factory.threadLeaves == 1 && !state.pipeline);
  }
}

// A device lost right after a build is rebuilt after the retry time, on a
// new grid, at the output size of the run's first build; every chain
// composes with the cursor setting.
TEST_F(PipelineLoopTest, ARebuildWaitsTheRetryTimeAndKeepsTheFirstOutputSize) {
  state.config.height = 1080;
  state.config.showCursor = false;
  factory.outputFor = [](int chain) {
    return chain == 0 ? OutputDescription{L"Left GPU", -2560, 0, 0, 1440}
                      : OutputDescription{L"Other GPU", 0, 0, 1280, 1024};
  };
  LoseDeviceAt(10);
  Run(t0 + 3 * kSecond);

  const int64_t lost = Slot(t0, 10);
  EXPECT_EQ(Pts(0), Grid(t0, lost));
  EXPECT_EQ(Pts(1), Grid(lost + 2 * kSecond, t0 + 3 * kSecond));
  EXPECT_EQ((Ticks{state.rebuilds, factory.chainsCreated}), (Ticks{1, 2}));
  EXPECT_TRUE(log.Has("pipeline: gpu Left GPU") && log.Has("pipeline: gpu Other GPU"));
  ASSERT_EQ(factory.encoderConfigs.size(), 2u);
  for (const EncoderConfig& e : factory.encoderConfigs) {
    EXPECT_EQ((std::vector<uint32_t>{e.width, e.height, e.maxBitrate}), (std::vector<uint32_t>{1920, 1080, 19'906'560}));
  }
  EXPECT_EQ(factory.composerSizes, (std::vector<uint32_t>{1920, 1080, 1920, 1080}));
  EXPECT_EQ(factory.showCursorSeen, std::vector<bool>(seen.size(), false));
}

TEST_F(PipelineLoopTest, OutputAboveTheEncodersLimitIsScaledDownWithOneLinePerRun) {
  factory.outputFor = [](int) { return OutputDescription{L"Wide GPU", 0, 0, 5120, 1440}; };
  LoseDeviceAt(150);  // 2.5 s after the build: rebuilt at once
  Run(t0 + 2600 * kMs);
  EXPECT_EQ(factory.composerSizes, (std::vector<uint32_t>{4096, 1152, 4096, 1152}));
  EXPECT_EQ(log.CountStartingWith("pipeline: 5120x1440 is above the encoders' limit — encoding 4096x1152"), 1);
}

}  // namespace
}  // namespace kp
