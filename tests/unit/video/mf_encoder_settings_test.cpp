#include "video/mf_encoder_settings.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

#include "support/log_capture.h"

namespace kp {
namespace {

using P = MfCodecProperty;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

// Records every property set, refusing the ones listed.
class RecordingCodec : public MfCodecProperties {
 public:
  explicit RecordingCodec(std::set<MfCodecProperty> refused) : refused_(std::move(refused)) {}
  bool Set(MfCodecProperty property, uint64_t value) override {
    return calls.emplace_back(property, value), refused_.count(property) == 0;
  }
  std::vector<std::pair<MfCodecProperty, uint64_t>> calls;

 private:
  std::set<MfCodecProperty> refused_;
};

// 1080p60 with bit rates derived: VBR 16'174'080 / 24'261'120, CQ cap 19'906'560.
EncoderConfig Config1080p(RateControl rateControl) {
  EncoderConfig config;
  config.width = 1920;
  config.height = 1080;
  config.fps = 60;
  config.rateControl = rateControl;
  DeriveBitrates(config);
  return config;
}

TEST(MfCodecPropertiesTest, PropertiesRefusalsAndFallbacks) {
  const auto cq = RateControl::ConstantQuality;
  const auto vbr = RateControl::Vbr;
  const std::pair<MfCodecProperty, uint64_t> gopBLowLatency[] = {{P::GopSize, 120}, {P::BFrameCount, 0},
                                                                 {P::LowLatency, 1}};
  struct Case {
    const char* name;
    RateControl rateControl;
    std::set<MfCodecProperty> refused;
    std::vector<std::pair<MfCodecProperty, uint64_t>> calls;  // after GOP, B-frames and low latency
    bool qpAccepted;
    Lines lines;
  };
  const Case cases[] = {
      {"cq with qp accepted", cq, {}, {{P::RateControlMode, 3}, {P::EncodeQp, 20}, {P::MaxBitrate, 19'906'560}},
       true, {}},
      {"cq with qp refused uses the quality scale", cq, {P::EncodeQp, P::CommonQuality, P::MaxBitrate},
       {{P::RateControlMode, 3}, {P::EncodeQp, 20}, {P::CommonQuality, 54}, {P::MaxBitrate, 19'906'560}},
       false, {"mf: encoder doesn't accept quality=54", "mf: encoder doesn't accept max bitrate=19906560"}},
      {"refused quality mode becomes vbr at half the peak", cq, {P::RateControlMode},
       {{P::RateControlMode, 3}, {P::RateControlMode, 1}, {P::MeanBitrate, 9'953'280}, {P::MaxBitrate, 19'906'560}},
       false,
       {"mf: constant-quality mode not supported, using peak-constrained VBR",
        "mf: encoder doesn't accept VBR mode=1"}},
      {"vbr reports every refusal but low latency", vbr,
       {P::GopSize, P::BFrameCount, P::LowLatency, P::RateControlMode, P::MeanBitrate, P::MaxBitrate},
       {{P::RateControlMode, 1}, {P::MeanBitrate, 16'174'080}, {P::MaxBitrate, 24'261'120}}, false,
       {"mf: encoder doesn't accept GOP size=120", "mf: encoder doesn't accept B-frames=0",
        "mf: encoder doesn't accept VBR mode=1", "mf: encoder doesn't accept mean bitrate=16174080",
        "mf: encoder doesn't accept max bitrate=24261120"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingCodec codec(c.refused);
    test::LogCapture log;
    EXPECT_EQ(ApplyMfCodecProperties(codec, Config1080p(c.rateControl)), c.qpAccepted);
    auto expected = c.calls;
    expected.insert(expected.begin(), std::begin(gopBLowLatency), std::end(gopBLowLatency));
    EXPECT_EQ(codec.calls, expected);
    EXPECT_EQ(log.Lines(), c.lines);
  }
}

TEST(MfCodecPropertiesTest, QualityScales) {
  struct Case {
    uint32_t quality, qp, commonQuality;
  };
  const Case cases[] = {{0, 10, 100}, {13, 10, 74}, {14, 11, 72}, {50, 47, 1}, {51, 48, 1}, {60, 57, 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(MfQpForQuality(c.quality), c.qp) << c.quality;
    EXPECT_EQ(MfCommonQualityForQuality(c.quality), c.commonQuality) << c.quality;
  }
}

TEST(MfEncoderSettingsTest, OutputTypeBitrateAndOpenedLine) {
  EXPECT_EQ(MfOutputTypeBitrate(Config1080p(RateControl::Vbr)), 16'174'080u);
  EXPECT_EQ(MfOutputTypeBitrate(Config1080p(RateControl::ConstantQuality)), 9'953'280u);

  test::LogCapture log;
  LogMfEncoderOpened("Contoso MFT", Config1080p(RateControl::Vbr), false, true);
  LogMfEncoderOpened("Contoso MFT", Config1080p(RateControl::ConstantQuality), true, false);
  LogMfEncoderOpened("Contoso MFT", Config1080p(RateControl::ConstantQuality), false, true);
  EXPECT_EQ(log.Lines(), (Lines{
                             "mf: Contoso MFT, H.264 1920x1080@60, 16.2 Mbps VBR (max 24.3), async",
                             "mf: Contoso MFT, H.264 1920x1080@60, quality mode QP 20 (max 19.9 Mbps), sync",
                             "mf: Contoso MFT, H.264 1920x1080@60, quality mode CQ 23 (max 19.9 Mbps), async",
                         }));
}

TEST(MfPacketTest, TimesKeyframeAndFirstParameterSets) {
  const Bytes slice = {0, 0, 1, 0x41, 0x9A};
  // AUD, SPS, PPS, IDR slice without the clean-point flag; then other parameter sets.
  const Bytes idr = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x67, 0x64, 0x28,  //
                     0, 0, 0, 1, 0x68, 0xEE, 0, 0, 0, 1, 0x65, 0x88, 0x84, 0, 0};
  const Bytes later = {0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0x11, 0, 0, 1, 0x65, 0x99};
  struct Case {
    const char* name;
    MfOutputSample sample;
    int64_t pts, duration;
    bool keyframe;
  };
  const Case cases[] = {
      {"IDR unit", {idr, true, 123'456, true, 166'667, false}, 123'456, 166'667, true},
      {"later parameter sets", {later, true, 5, true, 7, false}, 5, 7, true},
      {"no time stamp", {slice, false, 777, true, 5, false}, 0, 5, false},
      {"no duration", {slice, true, 10, false, 99, false}, 10, 166'666, false},
      {"zero duration", {slice, true, 10, true, 0, false}, 10, 166'666, false},
      {"one tick", {slice, true, 10, true, 1, false}, 10, 1, false},
      {"clean point", {slice, true, -20, true, 7, true}, -20, 7, true},
  };
  VideoTrackInfo track;
  for (const Case& c : cases) {
    const EncodedPacket packet = MakeMfPacket(c.sample, 166'666, track);
    EXPECT_EQ(packet.pts, c.pts) << c.name;
    EXPECT_EQ(packet.duration, c.duration) << c.name;
    EXPECT_EQ(packet.keyframe, c.keyframe) << c.name;
    if (c.sample.data.data() == idr.data()) {
      EXPECT_EQ(packet.data, (Bytes{0, 0, 0, 3, 0x65, 0x88, 0x84}));
    }
  }
  EXPECT_EQ(track.sps, (Bytes{0x67, 0x64, 0x28})) << "the first parameter sets stay";
  EXPECT_EQ(track.pps, (Bytes{0x68, 0xEE}));

  // A sequence header's later units win.
  StoreSequenceHeader(Bytes{0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x67, 0x64}, track);
  EXPECT_EQ(track.sps, (Bytes{0x67, 0x64}));
  EXPECT_EQ(track.pps, (Bytes{0x68, 0xCE}));
}

}  // namespace
}  // namespace kp
