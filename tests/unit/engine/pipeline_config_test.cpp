// Settings to pipeline configuration, output size and encoder settings.
#include "engine/pipeline_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"

namespace kp {
namespace {

TEST(MakePipelineConfigTest, MapsTheVideoSettings) {
  struct Case {
    const char *encoder, *rateControl, *quality, *preset, *codec;
    // encoder, rateControl, quality, bitrate, maxBitrateFactor, preset
    std::vector<int32_t> expected;
  };
  const Case cases[] = {
      {"nvenc", "quality", "low", "performance", "h264", {1, 0, 30, 0, 6, 2}},
      {"hardware", "quality", "ultra", "quality", "h264", {2, 0, 19, 0, 25, 6}},
      {"NVENC", "Bitrate", "best", "Quality", "hevc", {0, 0, 23, 0, 16, 4}},  // texts match exactly; h264 is used
      {"auto", "bitrate", "low", "balanced", "h264", {0, 1, 23, 45'000'000, 16, 4}},  // no level in bitrate mode
  };
  for (const Case& c : cases) {
    test::LogCapture log;
    Settings s;
    s.encoder = c.encoder;
    s.rateControl = c.rateControl;
    s.quality = c.quality;
    s.encoderPreset = c.preset;
    s.codec = c.codec;
    s.bitrateMbps = 45;
    s.monitor = L"\\\\.\\DISPLAY2";
    s.fps = 30;
    s.resolution = 720;
    s.showCursor = false;
    const PipelineConfig p = MakePipelineConfig(s);
    SCOPED_TRACE(testing::Message() << c.encoder << "/" << c.rateControl << "/" << c.quality << "/" << c.preset);
    EXPECT_TRUE(p.monitor == s.monitor && p.fps == 30 && p.height == 720 && !p.showCursor) << "copied fields";
    EXPECT_EQ((std::vector<int32_t>{p.encoder, p.rateControl, p.quality, p.bitrate, p.maxBitrateFactor, p.preset}),
              c.expected);
    EXPECT_EQ(log.Lines(), s.codec == "h264" ? std::vector<std::string>{}
                                             : std::vector<std::string>{"pipeline: codec 'hevc' not supported yet, using h264"});
  }
}

TEST(ComputeOutputSizeTest, FollowsTheSizeRules) {
  struct Case {
    int32_t width, height, lines;
    OutputSize expected;
  };
  const Case cases[] = {
      {2560, 1440, 1080, {1920, 1080}},
      {1920, 1080, 2160, {1920, 1080}},  // above the monitor: its own size
      {1280, 1025, 1025, {1280, 1024}},  // equal to the monitor: its own size, evened
      {1921, 1080, 0, {1920, 1080}},     // native, evened
      {1366, 768, 480, {854, 480}},      // 853.75 rounds to nearest
      {2560, 1440, 721, {1280, 720}},
      {2, 2, 0, {2, 2}},                 // smallest usable desktop
      {1, 1080, 0, {0, 0}},
      {1920, 1080, 1, {0, 0}},           // below two lines
  };
  for (const Case& c : cases) {
    const OutputSize got = ComputeOutputSize(c.width, c.height, c.lines);
    EXPECT_EQ(got, c.expected) << c.width << "x" << c.height << " at " << c.lines << " gave " << got.width << "x"
                               << got.height;
  }
}

TEST(LimitOutputSizeTest, ScalesDownToTheEncodersLimitKeepingTheAspect) {
  const OutputSize cases[][2] = {
      {{5120, 1440}, {4096, 1152}},
      {{1440, 5120}, {1152, 4096}},
      {{7680, 4320}, {4096, 2304}},
      {{4098, 4098}, {4096, 4096}},
      {{6000, 2001}, {4096, 1366}},  // 1365.97 rounds to nearest, then even
      {{4096, 2160}, {4096, 2160}},  // at the limit: kept
      {{3840, 2160}, {3840, 2160}},
  };
  for (const auto& c : cases) {
    const OutputSize got = LimitOutputSize(c[0]);
    EXPECT_EQ(got, c[1]) << c[0].width << "x" << c[0].height << " gave " << got.width << "x" << got.height;
  }
}

TEST(MakeEncoderConfigTest, QualityAndBitrateModes) {
  PipelineConfig quality;
  quality.maxBitrateFactor = 25;
  quality.preset = 6;
  const EncoderConfig q = MakeEncoderConfig(quality, {1920, 1080});
  EXPECT_EQ(q.rateControl, RateControl::ConstantQuality);
  EXPECT_EQ((std::vector<uint32_t>{q.width, q.height, q.fps, q.quality, q.averageBitrate, q.maxBitrate, q.preset,
                                   q.keyframeSeconds, q.realtime}),
            (std::vector<uint32_t>{1920, 1080, 60, 23, 0, 31'104'000, 6, 2, 1}));
  // 4K: the pixel rate overflows 32 bits before the division.
  EXPECT_EQ(MakeEncoderConfig(quality, {3840, 2160}).maxBitrate, 124'416'000u);

  PipelineConfig bitrate;
  bitrate.rateControl = 1;
  bitrate.bitrate = 45'000'000;
  const EncoderConfig b = MakeEncoderConfig(bitrate, {1280, 720});
  EXPECT_EQ(b.rateControl, RateControl::Vbr);
  EXPECT_EQ(b.averageBitrate, 45'000'000u);
  EXPECT_EQ(b.maxBitrate, 0u);  // left for the encoder to derive
  // Only the engine's run has a stalled encoder failed.
  EXPECT_EQ(b.failStalls, 0u);
  bitrate.failStalledEncoder = true;
  EXPECT_EQ(MakeEncoderConfig(bitrate, {1280, 720}).failStalls, 1u);
}

}  // namespace
}  // namespace kp
