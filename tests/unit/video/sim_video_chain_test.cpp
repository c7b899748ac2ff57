// The Linux build's video chain: the CPU composer's cursor, and the chain
// with a deferred encoder under the pipeline loop.
#include "video/sim_video_chain.h"

#include <gtest/gtest.h>

#include <atomic>

#include "engine/pipeline.h"
#include "support/fake_clock.h"
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
