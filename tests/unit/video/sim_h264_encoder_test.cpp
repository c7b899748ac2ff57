// The lossless H.264 stand-in: parameter sets, picture structure, skipping and
// keyframe interval (bit-exact decoding is checked end to end with ffmpeg).
#include "video/sim_h264_encoder.h"

#include <gtest/gtest.h>

#include "video/h264_stream_reader.h"
#include "video/rbsp_writer.h"

namespace kp {
namespace {

struct Rig {
  Rig(uint32_t w, uint32_t h, uint32_t fps = 10, SimH264EncoderOptions options = {}) : encoder(options) {
    frame.Resize(w, h);
    config.width = w;
    config.height = h;
    config.fps = fps;
    config.keyframeSeconds = 2;
    ok = encoder.Initialize(reinterpret_cast<GpuDevice*>(&frame), reinterpret_cast<GpuTexture*>(&frame), config);
  }
  Nv12Frame frame;
  EncoderConfig config;
  SimH264Encoder encoder;
  bool ok = false;
};

TEST(SimH264EncoderTest, SequenceParameterSetDescribesSizeCropAndLevel) {
  const uint32_t cases[][4] = {{176, 144, 15, 10}, {100, 60, 10, 10},   {2, 2, 10, 10},
                               {1920, 1080, 30, 40}, {1920, 1080, 60, 42}, {3840, 2160, 60, 52}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c[0] << "x" << c[1] << "@" << c[2]);
    Rig rig(c[0], c[1], c[2]);
    ASSERT_TRUE(rig.ok);
    const VideoTrackInfo& track = rig.encoder.TrackInfo();
    EXPECT_EQ((std::vector<uint32_t>{track.width, track.height, track.fps}),
              (std::vector<uint32_t>{c[0], c[1], c[2]}));
    EXPECT_EQ(track.pps.at(0), 0x68);
    H264SpsFields sps;
    ASSERT_TRUE(ParseSps(track.sps, &sps));
    EXPECT_EQ((std::vector<uint32_t>{sps.profileIdc, sps.levelIdc, sps.width, sps.height}),
              (std::vector<uint32_t>{66, c[3], c[0], c[1]}));
  }
}

TEST(SimH264EncoderTest, IdrEveryIntervalAndSkipsStillPictures) {
  Rig rig(64, 48, /*fps=*/5);  // IDR every 10 pictures
  ASSERT_TRUE(rig.ok);
  std::vector<size_t> sizes;
  for (int i = 0; i < 11; ++i) {
    if (i == 3) rig.frame.Luma(40)[63] = 99;  // one macroblock (the last) changes
    PacketList packets;
    ASSERT_TRUE(rig.encoder.Encode(i * 100, 100, false, packets));
    ASSERT_EQ(packets.size(), 1u);
    const EncodedPacket& p = *packets[0];
    EXPECT_EQ((std::pair{p.pts, p.keyframe}), (std::pair{int64_t{i * 100}, i % 10 == 0})) << i;
    // One slice, never parameter sets or delimiters.
    ASSERT_EQ(((uint32_t{p.data[2]} << 8) | p.data[3]) + 4, p.data.size()) << i;
    uint32_t firstMb = 99, sliceType = 99;
    ASSERT_TRUE(ParseSliceStart(std::span(p.data).subspan(4), &firstMb, &sliceType));
    EXPECT_EQ((std::vector<uint32_t>{p.data[4] & 0x1Fu, firstMb, sliceType}),
              (std::vector<uint32_t>{i % 10 == 0 ? 5u : 1u, 0, i % 10 == 0 ? 7u : 5u})) << i;
    sizes.push_back(p.data.size());
  }
  // 12 macroblocks of 384 samples in an IDR picture; a still P picture is a
  // header and one skip run; one changed block adds one macroblock of samples.
  EXPECT_GT(sizes[0], 12u * 384);
  EXPECT_LT(sizes[1], 16u);
  EXPECT_GT(sizes[3], 384u);
  EXPECT_LT(sizes[3], 2u * 384);
  EXPECT_EQ(sizes[4], sizes[1]);
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

}  // namespace
}  // namespace kp
