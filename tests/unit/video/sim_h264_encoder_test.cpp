// The lossless H.264 stand-in's parameter sets (its pictures are decoded end to
// end with ffmpeg), the bit writer under it, and the Linux video chain with a
// deferred encoder under the pipeline loop.
#include "video/sim_h264_encoder.h"

#include <gtest/gtest.h>

#include <atomic>

#include "engine/pipeline.h"
#include "support/fake_clock.h"
#include "video/h264_stream_reader.h"
#include "video/rbsp_writer.h"
#include "video/sim_video_chain.h"

namespace kp {
namespace {

TEST(SimH264EncoderTest, SequenceParameterSetDescribesSizeCropAndLevel) {
  const uint32_t cases[][4] = {{100, 60, 10, 10}, {1920, 1080, 30, 40}, {1920, 1080, 60, 42}, {3840, 2160, 60, 52}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c[0] << "x" << c[1] << "@" << c[2]);
    Nv12Frame frame;
    frame.Resize(c[0], c[1]);
    EncoderConfig config;
    config.width = c[0];
    config.height = c[1];
    config.fps = c[2];
    SimH264Encoder encoder;
    ASSERT_TRUE(encoder.Initialize(reinterpret_cast<GpuDevice*>(&frame), reinterpret_cast<GpuTexture*>(&frame), config));
    const VideoTrackInfo& track = encoder.TrackInfo();
    EXPECT_EQ(track.pps.at(0), 0x68);
    H264SpsFields sps;
    ASSERT_TRUE(ParseSps(track.sps, &sps));
    EXPECT_EQ((std::vector<uint32_t>{sps.profileIdc, sps.levelIdc, sps.width, sps.height}),
              (std::vector<uint32_t>{66, c[3], c[0], c[1]}));
  }
}

TEST(RbspWriterTest, ExpGolombAndEscaping) {
  std::vector<uint8_t> out;
  RbspWriter w(out);
  w.Ue(0);   // 1
  w.Ue(1);   // 010
  w.Ue(4);   // 00101
  w.Se(-2);  // ue(4): 00101
  w.Se(1);   // ue(1): 010
  w.TrailingBits();
  // 1010 0010 1001 0101 0 + 1 + 000000
  EXPECT_EQ(out, (std::vector<uint8_t>{0xA2, 0x95, 0x40}));

  out.clear();
  RbspWriter big(out);
  big.Ue(0xFFFFFFFFu);  // 32 zeros, then the 33-bit value 2^32: 1 and 32 zeros
  big.TrailingBits();   // the stop bit is bit 66
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 0, 0, 0, 0x80, 0, 0, 0, 0x40}));

  const std::vector<uint8_t> raw{0, 0, 0, 0, 0, 1, 0, 0, 4, 0, 0, 3, 0, 0};
  std::vector<uint8_t> escaped;
  AppendEscaped(raw.data(), raw.size(), escaped);
  EXPECT_EQ(escaped, (std::vector<uint8_t>{0, 0, 3, 0, 0, 3, 0, 1, 0, 0, 4, 0, 0, 3, 3, 0, 0}));
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
