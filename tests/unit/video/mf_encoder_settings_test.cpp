#include "video/mf_encoder_settings.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

#include "support/log_capture.h"

namespace kp {
namespace {

using P = MfCodecProperty;
using Calls = std::vector<std::pair<MfCodecProperty, uint64_t>>;

// Records every property set, refusing the ones listed.
class RecordingCodec : public MfCodecProperties {
 public:
  explicit RecordingCodec(std::set<MfCodecProperty> refused = {}) : refused_(std::move(refused)) {}
  bool Set(MfCodecProperty property, uint64_t value) override {
    calls.emplace_back(property, value);
    return refused_.count(property) == 0;
  }
  Calls calls;

 private:
  std::set<MfCodecProperty> refused_;
};

EncoderConfig Config1080p(RateControl rateControl) {
  EncoderConfig config;
  config.width = 1920;
  config.height = 1080;
  config.fps = 60;
  config.rateControl = rateControl;
  DeriveBitrates(config);
  return config;
}

TEST(MfCodecPropertiesTest, ConstantQualityWithQpAccepted) {
  const EncoderConfig config = Config1080p(RateControl::ConstantQuality);
  RecordingCodec codec;
  test::LogCapture log;
  EXPECT_TRUE(ApplyMfCodecProperties(codec, config));
  EXPECT_EQ(codec.calls, (Calls{{P::GopSize, 120},
                                {P::BFrameCount, 0},
                                {P::LowLatency, 1},
                                {P::RateControlMode, kMfRateControlQuality},
                                {P::EncodeQp, 20},
                                {P::MaxBitrate, 19'906'560}}));
  EXPECT_TRUE(log.Lines().empty());
}

TEST(MfCodecPropertiesTest, RefusedQpFallsBackToTheQualityScale) {
  const EncoderConfig config = Config1080p(RateControl::ConstantQuality);
  RecordingCodec codec({P::EncodeQp});
  test::LogCapture log;
  EXPECT_FALSE(ApplyMfCodecProperties(codec, config));
  EXPECT_EQ(codec.calls, (Calls{{P::GopSize, 120},
                                {P::BFrameCount, 0},
                                {P::LowLatency, 1},
                                {P::RateControlMode, kMfRateControlQuality},
                                {P::EncodeQp, 20},
                                {P::CommonQuality, 54},
                                {P::MaxBitrate, 19'906'560}}));
  EXPECT_TRUE(log.Lines().empty()) << "a refused QP is not worth a line";

  RecordingCodec stubborn({P::EncodeQp, P::CommonQuality, P::MaxBitrate});
  ApplyMfCodecProperties(stubborn, config);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"mf: encoder doesn't accept quality=54",
                                                   "mf: encoder doesn't accept max bitrate=19906560"}));
}

TEST(MfCodecPropertiesTest, RefusedQualityModeBecomesPeakConstrainedVbrAtHalfThePeak) {
  const EncoderConfig config = Config1080p(RateControl::ConstantQuality);
  RecordingCodec codec({P::RateControlMode});
  test::LogCapture log;
  EXPECT_FALSE(ApplyMfCodecProperties(codec, config));
  EXPECT_EQ(codec.calls, (Calls{{P::GopSize, 120},
                                {P::BFrameCount, 0},
                                {P::LowLatency, 1},
                                {P::RateControlMode, kMfRateControlQuality},
                                {P::RateControlMode, kMfRateControlPeakConstrainedVbr},
                                {P::MeanBitrate, 9'953'280},
                                {P::MaxBitrate, 19'906'560}}));
  // The VBR mode is refused as well in this script, and says so.
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                             "mf: constant-quality mode not supported, using peak-constrained VBR",
                             "mf: encoder doesn't accept VBR mode=1",
                         }));
}

TEST(MfCodecPropertiesTest, VbrSetsModeMeanAndPeakAndReportsEachRefusal) {
  const EncoderConfig config = Config1080p(RateControl::Vbr);
  RecordingCodec codec;
  EXPECT_FALSE(ApplyMfCodecProperties(codec, config));
  EXPECT_EQ(codec.calls, (Calls{{P::GopSize, 120},
                                {P::BFrameCount, 0},
                                {P::LowLatency, 1},
                                {P::RateControlMode, kMfRateControlPeakConstrainedVbr},
                                {P::MeanBitrate, 16'174'080},
                                {P::MaxBitrate, 24'261'120}}));

  RecordingCodec refusing({P::GopSize, P::BFrameCount, P::LowLatency, P::RateControlMode, P::MeanBitrate,
                           P::MaxBitrate});
  test::LogCapture log;
  ApplyMfCodecProperties(refusing, config);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                             "mf: encoder doesn't accept GOP size=120",
                             "mf: encoder doesn't accept B-frames=0",
                             "mf: encoder doesn't accept VBR mode=1",
                             "mf: encoder doesn't accept mean bitrate=16174080",
                             "mf: encoder doesn't accept max bitrate=24261120",
                         }));
}

TEST(MfCodecPropertiesTest, QualityMappings) {
  struct Case {
    uint32_t quality, qp, commonQuality;
  };
  const Case cases[] = {
      {0, 10, 100}, {1, 10, 98}, {10, 10, 80}, {13, 10, 74}, {14, 11, 72},
      {23, 20, 54}, {50, 47, 1}, {51, 48, 1},  {60, 57, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MfQpForQuality(c.quality), c.qp) << c.quality;
    EXPECT_EQ(MfCommonQualityForQuality(c.quality), c.commonQuality) << c.quality;
  }
}

TEST(MfEncoderSettingsTest, OutputTypeBitrate) {
  EXPECT_EQ(MfOutputTypeBitrate(Config1080p(RateControl::Vbr)), 16'174'080u);
  EXPECT_EQ(MfOutputTypeBitrate(Config1080p(RateControl::ConstantQuality)), 9'953'280u);
}

TEST(MfEncoderSettingsTest, OpenedLine) {
  test::LogCapture log;
  LogMfEncoderOpened("Contoso H.264 Encoder MFT", Config1080p(RateControl::Vbr), false, true);
  EncoderConfig cq = Config1080p(RateControl::ConstantQuality);
  LogMfEncoderOpened("Contoso H.264 Encoder MFT", cq, true, false);
  LogMfEncoderOpened("Media Foundation encoder", cq, false, true);
  cq.quality = 10;
  LogMfEncoderOpened("X", cq, true, false);
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{
                "mf: Contoso H.264 Encoder MFT, H.264 1920x1080@60, 16.2 Mbps VBR (max 24.3), async",
                "mf: Contoso H.264 Encoder MFT, H.264 1920x1080@60, quality mode QP 20 (max 19.9 Mbps), sync",
                "mf: Media Foundation encoder, H.264 1920x1080@60, quality mode CQ 23 (max 19.9 Mbps), async",
                "mf: X, H.264 1920x1080@60, quality mode QP 10 (max 19.9 Mbps), sync",
            }));
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) { return std::vector<uint8_t>(bytes); }

TEST(MfPacketTest, IdrAccessUnitWithParameterSets) {
  // AUD, SPS, PPS, IDR slice; four-byte start codes and trailing padding.
  const std::vector<uint8_t> unit = Bytes({0, 0, 0, 1, 0x09, 0xF0,                    //
                                           0, 0, 0, 1, 0x67, 0x64, 0x00, 0x28, 0xAC,   //
                                           0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0x80,         //
                                           0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21, 0, 0});
  MfOutputSample sample;
  sample.data = unit;
  sample.hasTime = true;
  sample.time = 123'456;
  sample.hasDuration = true;
  sample.duration = 166'667;
  VideoTrackInfo track;
  const EncodedPacket packet = MakeMfPacket(sample, 166'666, track);
  EXPECT_EQ(packet.pts, 123'456);
  EXPECT_EQ(packet.duration, 166'667);
  EXPECT_TRUE(packet.keyframe) << "an IDR unit makes a keyframe even without the clean-point flag";
  EXPECT_EQ(packet.data, Bytes({0, 0, 0, 4, 0x65, 0x88, 0x84, 0x21}));
  EXPECT_EQ(track.sps, Bytes({0x67, 0x64, 0x00, 0x28, 0xAC}));
  EXPECT_EQ(track.pps, Bytes({0x68, 0xEE, 0x3C, 0x80}));

  // Parameter sets seen later do not replace the first ones.
  const std::vector<uint8_t> later = Bytes({0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0x11, 0, 0, 1, 0x65, 0x99});
  sample.data = later;
  MakeMfPacket(sample, 166'666, track);
  EXPECT_EQ(track.sps, Bytes({0x67, 0x64, 0x00, 0x28, 0xAC}));
  EXPECT_EQ(track.pps, Bytes({0x68, 0xEE, 0x3C, 0x80}));
}

TEST(MfPacketTest, TimesAndKeyframeFlagFromTheSample) {
  const std::vector<uint8_t> slice = Bytes({0, 0, 1, 0x41, 0x9A, 0x02});
  struct Case {
    const char* name;
    bool hasTime;
    int64_t time;
    bool hasDuration;
    int64_t duration;
    bool cleanPoint;
    int64_t expectedPts, expectedDuration;
    bool expectedKeyframe;
  };
  const Case cases[] = {
      {"no time stamp", false, 777, true, 5, false, 0, 5, false},
      {"no duration", true, 10, false, 99, false, 10, 166'666, false},
      {"zero duration", true, 10, true, 0, false, 10, 166'666, false},
      {"negative duration", true, 10, true, -3, false, 10, 166'666, false},
      {"one tick", true, 10, true, 1, false, 10, 1, false},
      {"clean point", true, -20, true, 7, true, -20, 7, true},
  };
  for (const Case& c : cases) {
    MfOutputSample sample;
    sample.data = slice;
    sample.hasTime = c.hasTime;
    sample.time = c.time;
    sample.hasDuration = c.hasDuration;
    sample.duration = c.duration;
    sample.cleanPoint = c.cleanPoint;
    VideoTrackInfo track;
    const EncodedPacket packet = MakeMfPacket(sample, 166'666, track);
    EXPECT_EQ(packet.pts, c.expectedPts) << c.name;
    EXPECT_EQ(packet.duration, c.expectedDuration) << c.name;
    EXPECT_EQ(packet.keyframe, c.expectedKeyframe) << c.name;
    EXPECT_EQ(packet.data, Bytes({0, 0, 0, 3, 0x41, 0x9A, 0x02})) << c.name;
    EXPECT_TRUE(track.sps.empty()) << c.name;
  }
}

TEST(MfPacketTest, SequenceHeaderFillsParameterSetsLaterUnitsWinning) {
  VideoTrackInfo track;
  const std::vector<uint8_t> header = Bytes({0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1F,  //
                                             0, 0, 0, 1, 0x68, 0xCE, 0x3C,        //
                                             0, 0, 1, 0x67, 0x64, 0x00, 0x33, 0xAC});
  StoreSequenceHeader(header, track);
  EXPECT_EQ(track.sps, Bytes({0x67, 0x64, 0x00, 0x33, 0xAC}));
  EXPECT_EQ(track.pps, Bytes({0x68, 0xCE, 0x3C}));
}

}  // namespace
}  // namespace kp
