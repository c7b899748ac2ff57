// The Linux build's video chain: synthetic capture, CPU composer, and the
// chain with a deferred encoder under the pipeline loop.
#include "video/sim_video_chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

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

TEST(SimComposerTest, BlackWithoutAnImageAndOnlyEvenSizes) {
  test::LogCapture log;
  SimComposer composer;
  EXPECT_FALSE(composer.Initialize(63, 32, 30));
  EXPECT_TRUE(log.Has("composer: failed to create NV12 output 63x32"));
  EXPECT_FALSE(composer.Compose(nullptr, 0, 0, false, {}));
  ASSERT_TRUE(composer.Initialize(64, 32, 30));
  ASSERT_TRUE(composer.Compose(nullptr, 0, 0, true, SimCursor{true, kSimArrowCursor, 10, 10}));
  EXPECT_EQ(CountLumaNot(composer.Output(), 16), 0) << "black, and no cursor";
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

TEST(SimVideoChainTest, DeferredEncoderUnderThePipeline) {
  SimChainOptions options;
  options.desktop = {320, 180, 0, 0};
  options.encoder = SimH264EncoderOptions::Deferred(1, 2);
  SimVideoChainFactory factory(options);
  test::FakeClock clock;
  PipelineConfig config;
  config.fps = 10;
  config.height = 90;
  PipelineState state(config, factory, clock);
  std::vector<std::shared_ptr<const EncodedPacket>> packets;
  const std::atomic<bool> stop{false};
  RunPipeline(state, stop, clock.Now() + kTicksPerSecond,
              [&](const VideoTrackInfo& track, std::shared_ptr<const EncodedPacket> packet) {
                EXPECT_FALSE(track.sps.empty() || track.pps.empty()) << "parameter sets known with every packet";
                EXPECT_EQ(track.width, 160u);
                packets.push_back(std::move(packet));
              });
  // Ten pictures were encoded and came out two at a time once three were
  // held; the last two are still inside the encoder (a run never drains it).
  ASSERT_EQ(packets.size(), 8u);
  EXPECT_EQ(packets[7]->pts - packets[0]->pts, 7 * kTicksPerSecond / 10);
  EXPECT_TRUE(packets[0]->keyframe);
  EXPECT_FALSE(packets[1]->keyframe);
}

}  // namespace
}  // namespace kp
