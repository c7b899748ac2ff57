// The pipeline loop driving the Linux chain (synthetic desktop, CPU
// composer, lossless encoder) on a deterministic clock.
#include "video/sim_video_chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>

#include "engine/pipeline.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"

namespace kp {
namespace {

constexpr int64_t kSecond = kTicksPerSecond;

SimChainOptions SmallChain() {
  SimChainOptions options;
  options.desktop = {320, 180, 0, 0};
  return options;
}

struct Collected {
  std::vector<std::shared_ptr<const EncodedPacket>> packets;
  std::vector<bool> parameterSetsKnown;
};

Collected RunFor(SimVideoChainFactory& factory, test::FakeClock& clock, PipelineConfig config, int64_t length) {
  PipelineState state(config, factory, clock);
  Collected out;
  const std::atomic<bool> stop{false};
  RunPipeline(state, stop, clock.Now() + length,
              [&](const VideoTrackInfo& track, std::shared_ptr<const EncodedPacket> packet) {
                out.parameterSetsKnown.push_back(!track.sps.empty() && !track.pps.empty() &&
                                                 track.width == state.outputWidth);
                out.packets.push_back(std::move(packet));
              });
  return out;
}

TEST(SimVideoChainTest, DeferredEncoderUnderThePipeline) {
  SimChainOptions options = SmallChain();
  options.encoder = SimH264EncoderOptions::Deferred(1, 2);
  SimVideoChainFactory factory(options);
  test::FakeClock clock;
  PipelineConfig config;
  config.fps = 10;
  config.height = 90;
  const int64_t start = clock.Now();
  const Collected c = RunFor(factory, clock, config, kSecond);
  // Ten pictures were encoded and came out two at a time once three were
  // held; the last two are still inside the encoder (a run never drains it).
  ASSERT_EQ(c.packets.size(), 8u);
  for (size_t i = 0; i < c.packets.size(); ++i) {
    EXPECT_EQ(c.packets[i]->pts, start + static_cast<int64_t>(i) * kSecond / 10);
    EXPECT_EQ(c.packets[i]->duration, kSecond / 10);
    EXPECT_TRUE(c.parameterSetsKnown[i]) << i;
  }
  EXPECT_TRUE(c.packets[0]->keyframe);
  EXPECT_FALSE(c.packets[1]->keyframe);
}

TEST(SimVideoChainTest, DeviceLossRebuildsWithAFreshCapture) {
  SimChainOptions options = SmallChain();
  options.captureScript = {CaptureStatus::NewFrame, CaptureStatus::NewFrame, CaptureStatus::DeviceLost};
  SimVideoChainFactory factory(options);
  test::FakeClock clock;
  test::LogCapture log;
  PipelineConfig config;
  config.fps = 10;
  const Collected c = RunFor(factory, clock, config, kSecond / 2);
  // Each chain loses its device on its third poll: 0.5 s = 5 slots, two per
  // chain before the loss.
  EXPECT_EQ(factory.ChainsCreated(), 3);
  EXPECT_EQ(log.CountStartingWith("pipeline: GPU device lost"), 2);
  ASSERT_EQ(c.packets.size(), 5u);
  // A new chain starts with a new encoder: its first picture is an IDR.
  EXPECT_TRUE(c.packets[0]->keyframe);
  EXPECT_FALSE(c.packets[1]->keyframe);
  EXPECT_TRUE(c.packets[2]->keyframe);
  EXPECT_TRUE(c.packets[4]->keyframe);
  EXPECT_TRUE(log.Has("composer: 320x180 -> 320x180 NV12"));
}

TEST(SimVideoChainTest, MissingOutputOrEncoderFailsTheBuild) {
  struct Case {
    bool output;
    bool encoder;
    const char* line;
  };
  for (const Case c : {Case{false, true, "pipeline: no display output found"},
                       Case{true, false, "encoder: no usable H.264 encoder on this GPU"}}) {
    SimChainOptions options = SmallChain();
    options.outputPresent = c.output;
    options.encoderAvailable = c.encoder;
    SimVideoChainFactory factory(options);
    test::FakeClock clock;
    test::LogCapture log;
    const Collected collected = RunFor(factory, clock, PipelineConfig{}, 3 * kSecond);
    EXPECT_TRUE(collected.packets.empty());
    EXPECT_TRUE(log.Has(c.line)) << c.line;
    EXPECT_EQ(log.CountStartingWith("pipeline: build failed, retrying in 2s"), 2);
  }
}

// The stand-in chain goes through the same encoder selection as the GPU
// chain: the choice, the adapter's vendor and NVENC's presence decide, and
// the fallback is logged.
TEST(SimVideoChainTest, EncoderChoiceFollowsTheSelectionRules) {
  struct Case {
    int32_t choice;
    std::optional<uint32_t> vendor;
    bool nvenc;
    std::vector<std::string> lines;  // "encoder: " lines in order
  };
  const std::string fallback = "encoder: NVENC unavailable, trying the Windows hardware encoder";
  const std::string standIn = "encoder: Lossless H.264 stand-in";
  const std::string none = "encoder: no usable H.264 encoder on this GPU";
  const std::vector<Case> cases = {
      {0, 0x10DE, false, {fallback, standIn}},  // auto on NVIDIA without NVENC
      {0, 0x10DE, true, {standIn}},
      {0, std::nullopt, false, {standIn}},      // auto elsewhere: no NVENC attempt, no fallback line
      {1, 0x8086, false, {none}},               // nvenc asked for: no fallback
      {2, 0x10DE, true, {standIn}},
  };
  for (const Case& c : cases) {
    SimChainOptions options = SmallChain();
    options.vendorId = c.vendor;
    options.nvencAvailable = c.nvenc;
    SimVideoChainFactory factory(options);
    test::FakeClock clock;
    test::LogCapture log;
    PipelineConfig config;
    config.encoder = c.choice;
    const Collected collected = RunFor(factory, clock, config, kSecond / 2);
    std::vector<std::string> lines;
    for (const std::string& line : log.Lines()) {
      if (line.rfind("encoder: ", 0) == 0 && line.find("stand-in ") == std::string::npos) lines.push_back(line);
    }
    lines.resize(std::min(lines.size(), c.lines.size()));
    EXPECT_EQ(lines, c.lines) << "choice " << c.choice << (c.nvenc ? " with NVENC" : "");
    EXPECT_EQ(collected.packets.empty(), c.lines.back() == none);
  }
}

}  // namespace
}  // namespace kp
