// The video chain of the Linux build: the synthetic desktop's capture, the CPU
// composer, and the whole chain under the pipeline loop on a fake clock.
#include "video/sim_video_chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <set>

#include "engine/pipeline.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "video/bgra_to_nv12.h"

namespace kp {
namespace {

BgraImage Grey(uint32_t w, uint32_t h, uint8_t v) {
  BgraImage image;
  image.Resize(w, h);
  for (size_t i = 0; i < image.pixels.size(); i += 4) {
    image.pixels[i] = image.pixels[i + 1] = image.pixels[i + 2] = v;
    image.pixels[i + 3] = 255;
  }
  return image;
}

int CountLumaNot(const Nv12Frame& f, uint8_t value) {
  int n = 0;
  for (size_t i = 0; i < f.LumaSize(); ++i) n += f.data[i] != value;
  return n;
}

TEST(SimCaptureTest, ImageKDependsOnlyOnKAndALossCountsARecovery) {
  using S = CaptureStatus;
  SimCapture scripted({320, 180, 0, 0}, {S::Unchanged, S::NewFrame, S::Unchanged, S::NoFrame, S::NewFrame});
  const S expected[] = {S::NoFrame, S::NewFrame, S::Unchanged, S::NoFrame, S::NewFrame};
  const int image[] = {-1, 0, 0, -1, 1};  // k of the image held after each poll
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(scripted.AcquireFrame(), expected[i]) << i;
    if (image[i] < 0) {
      EXPECT_EQ(scripted.Image(), nullptr) << i;
    } else {
      BgraImage direct;
      SimDesktop({320, 180, 0, 0}).Render(static_cast<uint64_t>(image[i]), direct);
      ASSERT_NE(scripted.Image(), nullptr);
      EXPECT_EQ(scripted.Image()->pixels, direct.pixels) << i;
    }
  }
  EXPECT_EQ(scripted.Recoveries(), 1);
  EXPECT_EQ(scripted.ImagesDelivered(), 2u);
}

TEST(SimCaptureTest, PartsMoveWhileMostOfTheDesktopStaysStill) {
  SimCapture capture({1920, 1080, 0, 0}, {});
  capture.AcquireFrame();
  const BgraImage first = *capture.Image();
  capture.AcquireFrame();
  const BgraImage& second = *capture.Image();
  std::set<uint32_t> changedBlocks;  // 16x16 blocks, as the encoder skips them
  for (uint32_t y = 0; y < 1080; ++y) {
    for (uint32_t x = 0; x < 1920; ++x) {
      if (std::memcmp(first.Row(y) + x * 4, second.Row(y) + x * 4, 4) != 0) {
        changedBlocks.insert(y / 16 * 120 + x / 16);
      }
    }
  }
  EXPECT_GT(changedBlocks.size(), 0u);
  EXPECT_LT(changedBlocks.size(), 68u * 120 / 5);
}

TEST(SimComposerTest, BlackWithoutAnImageAndOnlyEvenSizes) {
  test::LogCapture log;
  SimComposer odd;
  EXPECT_FALSE(odd.Initialize(63, 32, 30));
  EXPECT_FALSE(odd.Compose(nullptr, 0, 0, false, {}));
  SimComposer composer;
  ASSERT_TRUE(composer.Initialize(64, 32, 30));
  ASSERT_TRUE(composer.Compose(nullptr, 0, 0, true, SimCursor{true, kSimArrowCursor, 10, 10}));
  EXPECT_EQ(CountLumaNot(composer.Output(), 16), 0) << "black, and no cursor";
  const std::vector<uint8_t>& data = composer.Output().data;
  EXPECT_EQ(std::count(data.begin() + composer.Output().LumaSize(), data.end(), 128), 64 * 16);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"composer: failed to create NV12 output 63x32",
                                                   "composer: 64x32 -> 64x32 NV12"}));
}

TEST(SimComposerTest, DrawsTheCursorOnlyWhenAskedAndInPlace) {
  const BgraImage desktop = Grey(64, 64, 128);
  const uint8_t greyY = RgbToYCbCr709(128, 128, 128).y;
  SimComposer composer;
  ASSERT_TRUE(composer.Initialize(64, 64, 30));
  const auto drawn = [&](bool show, SimCursor cursor) {
    EXPECT_TRUE(composer.Compose(&desktop, 100, 200, show, cursor));
    return CountLumaNot(composer.Output(), greyY);
  };
  // The output sits at (100, 200); the beam's hot spot is (4, 9), so its
  // image starts at (20 - 4, 30 - 9) in the output.
  const SimCursor beam{true, kSimBeamCursor, 100 + 20, 200 + 30};
  EXPECT_EQ(drawn(false, beam), 0);
  EXPECT_GT(drawn(true, beam), 0);
  const Nv12Frame& f = composer.Output();
  EXPECT_NE(f.Luma(21)[16 + 4], greyY);  // top of the beam's stem
  EXPECT_EQ(f.Luma(21)[16 + 0], greyY);  // left of the serif
  EXPECT_EQ(f.Luma(20)[16 + 4], greyY);  // just above the image
  EXPECT_NE(f.Luma(21 + 17)[16 + 4], greyY);
  EXPECT_EQ(drawn(true, SimCursor{false, kSimBeamCursor, 120, 230}), 0) << "hidden";
  EXPECT_EQ(drawn(true, SimCursor{true, kSimArrowCursor, 100 - 257, 210}), 0) << "too far off the edge";
  EXPECT_GT(drawn(true, SimCursor{true, kSimArrowCursor, 100 - 5, 210}), 0) << "partly off the edge";
  EXPECT_EQ(composer.HotspotQueries(), 2) << "each shape's hot spot is looked up once";
}

TEST(SimComposerTest, DesktopSizeChangeRebuildsTheStageAndKeepsTheOutput) {
  SimComposer composer;
  ASSERT_TRUE(composer.Initialize(64, 36, 30));
  const uint8_t* frameBefore = composer.Output().data.data();
  test::LogCapture log;
  const BgraImage wide = Grey(128, 72, 255);
  const BgraImage square = Grey(40, 40, 255);
  ASSERT_TRUE(composer.Compose(&wide, 0, 0, false, {}));
  ASSERT_TRUE(composer.Compose(&wide, 0, 0, false, {}));
  EXPECT_EQ(CountLumaNot(composer.Output(), 235), 0);
  ASSERT_TRUE(composer.Compose(&square, 0, 0, false, {}));
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"composer: 128x72 -> 64x36 NV12", "composer: 40x40 -> 64x36 NV12"}));
  EXPECT_EQ(composer.Output().data.data(), frameBefore);
  // Pillarboxed: 36 wide from x = 14.
  const uint8_t* row = composer.Output().Luma(10);
  EXPECT_EQ((std::vector<uint8_t>{row[13], row[14], row[49], row[50]}), (std::vector<uint8_t>{16, 235, 235, 16}));
}

struct ChainRun {
  std::vector<std::shared_ptr<const EncodedPacket>> packets;
  bool parameterSetsKnown = true;  // with every packet the sink received
};

ChainRun RunChain(SimChainOptions options, PipelineConfig config, int64_t length) {
  options.desktop = {320, 180, 0, 0};
  SimVideoChainFactory factory(options);
  test::FakeClock clock;
  PipelineState state(config, factory, clock);
  ChainRun run;
  const std::atomic<bool> stop{false};
  RunPipeline(state, stop, clock.Now() + length,
              [&](const VideoTrackInfo& track, std::shared_ptr<const EncodedPacket> packet) {
                run.parameterSetsKnown &= !track.sps.empty() && !track.pps.empty() && track.width == state.outputWidth;
                run.packets.push_back(std::move(packet));
              });
  return run;
}

TEST(SimVideoChainTest, DeferredEncoderUnderThePipeline) {
  SimChainOptions options;
  options.encoder = SimH264EncoderOptions::Deferred(1, 2);
  PipelineConfig config;
  config.fps = 10;
  config.height = 90;
  const ChainRun run = RunChain(options, config, kTicksPerSecond);
  // Ten pictures were encoded and came out two at a time once three were
  // held; the last two are still inside the encoder (a run never drains it).
  ASSERT_EQ(run.packets.size(), 8u);
  EXPECT_EQ(run.packets[7]->pts - run.packets[0]->pts, 7 * kTicksPerSecond / 10);
  EXPECT_TRUE(run.parameterSetsKnown);
  EXPECT_TRUE(run.packets[0]->keyframe);
  EXPECT_FALSE(run.packets[1]->keyframe);
}

// The chain opens its encoder through the product's selection rules and
// fails the build when no output or no encoder can be had.
TEST(SimVideoChainTest, ChainBuildFollowsTheOutputAndEncoderRules) {
  struct Case {
    const char* name;
    bool output, encoder;
    std::optional<uint32_t> vendor;
    std::vector<std::string> lines;  // the log's lines from "pipeline: " or "encoder: " with these texts
  };
  const std::string fallback = "encoder: NVENC unavailable, trying the Windows hardware encoder";
  const std::string standIn = "encoder: Lossless H.264 stand-in";
  const std::string failed = "pipeline: build failed, retrying in 2s";
  const Case cases[] = {
      {"auto on nvidia without nvenc", true, true, 0x10DE, {fallback, standIn}},
      {"no output", false, true, std::nullopt, {"pipeline: no display output found", failed}},
      {"no encoder", true, false, std::nullopt, {"encoder: no usable H.264 encoder on this GPU", failed}},
  };
  for (const Case& c : cases) {
    SimChainOptions options;
    options.outputPresent = c.output;
    options.encoderAvailable = c.encoder;
    options.vendorId = c.vendor;
    test::LogCapture log;
    const ChainRun run = RunChain(options, PipelineConfig{}, kTicksPerSecond / 2);
    std::vector<std::string> lines;
    for (const std::string& line : log.Lines()) {
      if (line == fallback || line == standIn || line == failed || line == c.lines[0]) lines.push_back(line);
    }
    lines.resize(std::min<size_t>(lines.size(), 2));
    EXPECT_EQ(lines, c.lines) << c.name;
    EXPECT_EQ(run.packets.empty(), c.lines.back() == failed) << c.name;
  }
}

}  // namespace
}  // namespace kp
