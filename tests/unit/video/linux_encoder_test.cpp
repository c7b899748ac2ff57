#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "video/ffmpeg_h264_encoder.h"
#include "video/linux_encoder_order.h"

namespace kp {
namespace {

using K = LinuxEncoderKind;

class FakeEncoder : public VideoEncoder {
 public:
  FakeEncoder(bool opens, std::string name) : opens_(opens), name_(std::move(name)) {}
  bool Initialize(GpuDevice*, GpuTexture*, const EncoderConfig&) override { return opens_; }
  bool Encode(int64_t, int64_t, bool, PacketList&) override { return true; }
  bool Drain(PacketList&) override { return true; }
  const VideoTrackInfo& TrackInfo() const override { return track_; }
  std::string Name() const override { return name_; }

 private:
  bool opens_;
  std::string name_;
  VideoTrackInfo track_;
};

// Which encoders each choice tries, and what is logged on the way, for the
// encoders a machine can open.
TEST(LinuxEncoderTest, ChoicesTryTheirEncodersInOrderAndLogTheFallbacks) {
  struct Case {
    EncoderChoice choice;
    std::vector<K> opening;
    std::vector<K> tried;
    std::vector<std::string> lines;
  };
  const std::string none = "encoder: no usable H.264 encoder on this GPU";
  const Case cases[] = {
      {EncoderChoice::Auto, {K::X264}, {K::Vaapi, K::Nvenc, K::X264},
       {"encoder: VAAPI unavailable, trying NVENC", "encoder: NVENC unavailable, trying x264", "encoder: x264 name"}},
      {EncoderChoice::Auto, {K::Nvenc, K::X264}, {K::Vaapi, K::Nvenc},
       {"encoder: VAAPI unavailable, trying NVENC", "encoder: NVENC name"}},
      {EncoderChoice::Nvenc, {K::Vaapi, K::X264}, {K::Nvenc}, {none}},
      {EncoderChoice::MediaFoundation, {K::Vaapi}, {K::Vaapi}, {"encoder: VAAPI name"}},
      {EncoderChoice::MediaFoundation, {K::X264}, {K::Vaapi}, {none}},
  };
  for (const Case& c : cases) {
    test::LogCapture log;
    std::vector<K> tried;
    auto encoder = OpenFirstEncoder(LinuxEncoderOrder(c.choice), nullptr, nullptr, EncoderConfig{},
                                    [&](K kind) -> std::unique_ptr<VideoEncoder> {
                                      tried.push_back(kind);
                                      const bool opens = std::find(c.opening.begin(), c.opening.end(), kind) !=
                                                         c.opening.end();
                                      return std::make_unique<FakeEncoder>(
                                          opens, std::string(LinuxEncoderLabel(kind)) + " name");
                                    });
    EXPECT_EQ(tried, c.tried);
    EXPECT_EQ(log.Lines(), c.lines);
    EXPECT_EQ(encoder != nullptr, c.lines.back() != none);
  }
}

TEST(LinuxEncoderTest, X264RateFollowsTheQualityOrTheBitrateWithAOneSecondBuffer) {
  EncoderConfig quality{1920, 1080, 30, RateControl::ConstantQuality, 19, 0, 1920 * 1080 * 30 * 25 / 100, 2};
  const X264RateSettings q = X264RateSettingsFor(quality);
  EXPECT_EQ(q.crf, 19);
  EXPECT_EQ(q.bitRate, 0);
  EXPECT_EQ(q.maxRate, 15'552'000);
  EXPECT_EQ(q.bufferSize, 15'552'000);
  EXPECT_STREQ(q.preset, "ultrafast");

  EncoderConfig bitrate{1280, 720, 60, RateControl::Vbr, 23, 8'000'000, 0, 6};
  const X264RateSettings b = X264RateSettingsFor(bitrate);
  EXPECT_EQ(b.crf, -1);
  EXPECT_EQ(b.bitRate, 8'000'000);
  EXPECT_EQ(b.maxRate, 8'000'000);
  EXPECT_EQ(b.bufferSize, 8'000'000);
  EXPECT_STREQ(b.preset, "veryfast");
  bitrate.preset = 4;
  EXPECT_STREQ(X264RateSettingsFor(bitrate).preset, "superfast");
}

// The real x264 through FFmpeg: packets carry the time stamps they were
// given, start with a keyframe, hold no parameter sets, and the track gets
// its SPS and PPS.
TEST(LinuxEncoderTest, X264PacketsKeepTheirTimesAndTheTrackHasItsParameterSets) {
  Nv12Frame frame;
  frame.Resize(64, 48);
  FfmpegH264Encoder encoder(K::X264);
  EncoderConfig config{64, 48, 30, RateControl::ConstantQuality, 23, 0, 0, 4};
  ASSERT_TRUE(encoder.Initialize(nullptr, reinterpret_cast<GpuTexture*>(&frame), config));
  PacketList packets;
  for (int i = 0; i < 5; ++i) {
    frame.Luma(10)[10 + i] = 200;  // something changes every frame
    ASSERT_TRUE(encoder.Encode(1'000'000 + i * 333'333, 333'333 + i, false, packets));
  }
  ASSERT_TRUE(encoder.Drain(packets));
  ASSERT_EQ(packets.size(), 5u);
  EXPECT_TRUE(packets[0]->keyframe);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(packets[i]->pts, 1'000'000 + i * 333'333);
    EXPECT_EQ(packets[i]->duration, 333'333 + i);
    const uint8_t firstNal = packets[i]->data.at(4) & 0x1F;
    EXPECT_TRUE(firstNal != 7 && firstNal != 8 && firstNal != 9) << i;
  }
  EXPECT_EQ(encoder.TrackInfo().sps.at(0) & 0x1F, 7);
  EXPECT_EQ(encoder.TrackInfo().pps.at(0) & 0x1F, 8);
}

}  // namespace
}  // namespace kp
