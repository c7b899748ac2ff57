// The lossless H.264 stand-in: parameter sets, picture structure, skipping,
// keyframe interval and the deferred (hardware-transform-like) behaviour.
// Bit-exact decoding is checked end to end with ffmpeg.
#include "video/sim_h264_encoder.h"

#include <gtest/gtest.h>

#include <span>

#include "support/log_capture.h"
#include "video/h264_stream_reader.h"
#include "video/rbsp_writer.h"

namespace kp {
namespace {

struct Unit {
  uint8_t type = 0;
  std::vector<uint8_t> bytes;
};

// Splits a length-prefixed payload; fails the test on a bad length.
std::vector<Unit> Units(const EncodedPacket& packet) {
  std::vector<Unit> units;
  const std::vector<uint8_t>& d = packet.data;
  size_t p = 0;
  while (p + 4 <= d.size()) {
    const size_t size = (size_t{d[p]} << 24) | (size_t{d[p + 1]} << 16) | (size_t{d[p + 2]} << 8) | d[p + 3];
    EXPECT_LE(p + 4 + size, d.size());
    if (p + 4 + size > d.size()) break;
    units.push_back({static_cast<uint8_t>(d[p + 4] & 0x1F), {d.begin() + p + 4, d.begin() + p + 4 + size}});
    p += 4 + size;
  }
  EXPECT_EQ(p, d.size());
  return units;
}

class EncoderFixture {
 public:
  EncoderFixture(uint32_t w, uint32_t h, SimH264EncoderOptions options = {}, uint32_t fps = 10,
                 uint32_t keyframeSeconds = 1)
      : encoder(options) {
    frame.Resize(w, h);
    config.width = w;
    config.height = h;
    config.fps = fps;
    config.keyframeSeconds = keyframeSeconds;
    ok = encoder.Initialize(reinterpret_cast<GpuDevice*>(&device), reinterpret_cast<GpuTexture*>(&frame), config);
  }
  PacketList Encode(int64_t pts) {
    PacketList packets;
    EXPECT_TRUE(encoder.Encode(pts, 100, false, packets));
    return packets;
  }

  int device = 0;
  Nv12Frame frame;
  EncoderConfig config;
  SimH264Encoder encoder;
  bool ok = false;
};

TEST(SimH264EncoderTest, SequenceParameterSetDescribesSizeAndCrop) {
  struct Case {
    uint32_t w, h;
  };
  for (const Case c : {Case{64, 48}, Case{100, 60}, Case{642, 362}, Case{1920, 1080}, Case{2, 2}}) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    EncoderFixture f(c.w, c.h);
    ASSERT_TRUE(f.ok);
    const VideoTrackInfo& track = f.encoder.TrackInfo();
    EXPECT_EQ(track.kind, 0u);
    EXPECT_EQ(track.width, c.w);
    EXPECT_EQ(track.height, c.h);
    EXPECT_EQ(track.fps, 10u);
    ASSERT_GE(track.sps.size(), 4u);
    EXPECT_EQ(track.sps[0], 0x67);
    EXPECT_EQ(track.pps.at(0), 0x68);
    H264SpsFields sps;
    ASSERT_TRUE(ParseSps(track.sps, &sps));
    EXPECT_EQ(sps.profileIdc, 66u);
    EXPECT_EQ(sps.width, c.w);
    EXPECT_EQ(sps.height, c.h);
    EXPECT_TRUE(sps.frameMbsOnly);
    EXPECT_NE(track.sps.back(), 0);
    EXPECT_NE(track.pps.back(), 0);
  }
}

TEST(SimH264EncoderTest, LevelFollowsFrameSizeAndRate) {
  struct Case {
    uint32_t w, h, fps;
    uint8_t level;
  };
  const Case cases[] = {{176, 144, 15, 10}, {1280, 720, 30, 31}, {1920, 1080, 30, 40},
                        {1920, 1080, 60, 42}, {2560, 1440, 60, 51}, {3840, 2160, 60, 52}};
  for (const Case& c : cases) {
    EncoderFixture f(c.w, c.h, {}, c.fps);
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.encoder.TrackInfo().sps[3], c.level) << c.w << "x" << c.h << "@" << c.fps;
  }
}

TEST(SimH264EncoderTest, IdrEveryIntervalAndSkipsStillPictures) {
  EncoderFixture f(64, 48, {}, /*fps=*/5, /*keyframeSeconds=*/2);  // IDR every 10 pictures
  ASSERT_TRUE(f.ok);
  std::vector<size_t> sizes;
  for (int i = 0; i < 21; ++i) {
    if (i == 3) f.frame.Luma(40)[63] = 99;  // one macroblock (the last) changes
    const PacketList packets = f.Encode(i * 100);
    ASSERT_EQ(packets.size(), 1u);
    const EncodedPacket& p = *packets[0];
    EXPECT_EQ(p.pts, i * 100);
    EXPECT_EQ(p.duration, 100);
    EXPECT_EQ(p.keyframe, i % 10 == 0) << i;
    const std::vector<Unit> units = Units(p);
    ASSERT_EQ(units.size(), 1u);  // one slice; never SPS, PPS or delimiters
    EXPECT_EQ(units[0].type, i % 10 == 0 ? 5 : 1);
    uint32_t firstMb = 99, sliceType = 99;
    ASSERT_TRUE(ParseSliceStart(units[0].bytes, &firstMb, &sliceType));
    EXPECT_EQ(firstMb, 0u);
    EXPECT_EQ(sliceType, i % 10 == 0 ? 7u : 5u);
    sizes.push_back(p.data.size());
  }
  // 12 macroblocks of 384 samples in an IDR picture.
  EXPECT_GT(sizes[0], 12u * 384);
  // A still P picture is a header and one skip run; one changed block adds
  // one macroblock of samples.
  EXPECT_LT(sizes[1], 16u);
  EXPECT_GT(sizes[3], 384u);
  EXPECT_LT(sizes[3], 2u * 384);
  EXPECT_EQ(sizes[4], sizes[1]);
}

TEST(SimH264EncoderTest, DeferredOutputMatchesImmediateOutput) {
  EncoderFixture immediate(48, 32);
  EncoderFixture deferred(48, 32, SimH264EncoderOptions::Deferred(2, 3));
  ASSERT_TRUE(immediate.ok);
  ASSERT_TRUE(deferred.ok);
  // Parameter sets are known only with the first output.
  EXPECT_TRUE(deferred.encoder.TrackInfo().sps.empty());
  EXPECT_TRUE(deferred.encoder.TrackInfo().pps.empty());

  PacketList a, b;
  std::vector<size_t> perCall;
  for (int i = 0; i < 12; ++i) {
    immediate.frame.Luma(static_cast<uint32_t>(i))[static_cast<uint32_t>(i * 3)] = static_cast<uint8_t>(i + 1);
    deferred.frame.data = immediate.frame.data;
    ASSERT_TRUE(immediate.encoder.Encode(i, 1, false, a));
    const size_t before = b.size();
    ASSERT_TRUE(deferred.encoder.Encode(i, 1, false, b));
    perCall.push_back(b.size() - before);
    if (b.empty()) {
      EXPECT_TRUE(deferred.encoder.TrackInfo().sps.empty()) << i;
    }
  }
  // Held back two pictures, released three at a time.
  EXPECT_EQ(perCall, (std::vector<size_t>{0, 0, 0, 0, 3, 0, 0, 3, 0, 0, 3, 0}));
  EXPECT_EQ(deferred.encoder.TrackInfo().sps, immediate.encoder.TrackInfo().sps);
  EXPECT_EQ(deferred.encoder.TrackInfo().pps, immediate.encoder.TrackInfo().pps);
  ASSERT_TRUE(deferred.encoder.Drain(b));
  ASSERT_TRUE(immediate.encoder.Drain(a));
  ASSERT_EQ(a.size(), 12u);
  ASSERT_EQ(b.size(), 12u);
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i]->pts, b[i]->pts);
    EXPECT_EQ(a[i]->keyframe, b[i]->keyframe);
    EXPECT_EQ(a[i]->data, b[i]->data) << i;
  }
}

TEST(SimH264EncoderTest, RejectsSizesItCannotCode) {
  test::LogCapture log;
  struct Case {
    uint32_t configW, configH, frameW, frameH;
  };
  for (const Case c : {Case{63, 48, 63, 48}, Case{64, 48, 64, 50}, Case{0, 0, 0, 0}}) {
    Nv12Frame frame;
    frame.width = c.frameW;
    frame.height = c.frameH;
    EncoderConfig config;
    config.width = c.configW;
    config.height = c.configH;
    int device = 0;
    SimH264Encoder encoder;
    EXPECT_FALSE(
        encoder.Initialize(reinterpret_cast<GpuDevice*>(&device), reinterpret_cast<GpuTexture*>(&frame), config));
    PacketList packets;
    EXPECT_FALSE(encoder.Encode(0, 1, false, packets));
  }
  EXPECT_EQ(log.CountStartingWith("encoder: stand-in needs an even frame size"), 3);
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
  big.Ue(0xFFFFFFFFu);  // 32 zeros, then the 33-bit value 2^32
  big.AlignWithZeros();
  ASSERT_EQ(out.size(), 9u);
  EXPECT_EQ(out[3], 0x00);
  EXPECT_EQ(out[4], 0x80);

  const std::vector<uint8_t> raw{0, 0, 0, 0, 0, 1, 0, 0, 4, 0, 0, 3, 0, 0};
  std::vector<uint8_t> escaped;
  AppendEscaped(raw.data(), raw.size(), escaped);
  EXPECT_EQ(escaped, (std::vector<uint8_t>{0, 0, 3, 0, 0, 3, 0, 1, 0, 0, 4, 0, 0, 3, 3, 0, 0}));
}

}  // namespace
}  // namespace kp
