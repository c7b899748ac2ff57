// Settings to pipeline configuration, output size and encoder settings.
#include "engine/pipeline_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/log_capture.h"

namespace kp {
namespace {

TEST(MakePipelineConfigTest, MapsTheVideoSettings) {
  Settings s;
  s.monitor = L"\\\\.\\DISPLAY2";
  s.fps = 30;
  s.resolution = 720;
  s.showCursor = false;
  const PipelineConfig direct = MakePipelineConfig(s);
  EXPECT_EQ(direct.monitor, s.monitor);
  EXPECT_EQ(direct.fps, 30);
  EXPECT_EQ(direct.height, 720);
  EXPECT_FALSE(direct.showCursor);
  EXPECT_EQ(MakePipelineConfig(Settings{}), PipelineConfig{});

  struct Case {
    const char *encoder, *rateControl, *quality, *preset;
    int32_t bitrateMbps;
    // encoder, rateControl, quality, bitrate, maxBitrateFactor, preset
    int32_t expected[6];
  };
  const Case cases[] = {
      {"nvenc", "quality", "high", "balanced", 30, {1, 0, 23, 0, 16, 4}},
      {"hardware", "quality", "low", "performance", 30, {2, 0, 30, 0, 6, 2}},
      {"NVENC", "quality", "medium", "quality", 30, {0, 0, 26, 0, 10, 6}},  // texts match exactly
      {"auto", "quality", "ultra", "Quality", 30, {0, 0, 19, 0, 25, 4}},
      {"auto", "quality", "best", "balanced", 30, {0, 0, 23, 0, 16, 4}},  // unknown level keeps 23/16
      {"auto", "bitrate", "low", "balanced", 45, {0, 1, 23, 45'000'000, 16, 4}},  // no table in bitrate mode
      {"auto", "bitrate", "high", "balanced", 500, {0, 1, 23, 500'000'000, 16, 4}},
      {"auto", "Bitrate", "high", "balanced", 45, {0, 0, 23, 0, 16, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.encoder) + "/" + c.rateControl + "/" + c.quality + "/" + c.preset);
    Settings settings;
    settings.encoder = c.encoder;
    settings.rateControl = c.rateControl;
    settings.quality = c.quality;
    settings.encoderPreset = c.preset;
    settings.bitrateMbps = c.bitrateMbps;
    const PipelineConfig p = MakePipelineConfig(settings);
    const int32_t got[6] = {p.encoder, p.rateControl, p.quality, p.bitrate, p.maxBitrateFactor, p.preset};
    EXPECT_TRUE(std::equal(got, got + 6, c.expected));
  }
}

TEST(MakePipelineConfigTest, OtherCodecsAreLoggedAndH264IsUsed) {
  test::LogCapture log;
  Settings settings;
  MakePipelineConfig(settings);
  EXPECT_EQ(log.CountStartingWith("pipeline: codec"), 0);
  settings.codec = "hevc";
  EXPECT_EQ(MakePipelineConfig(settings), PipelineConfig{});
  EXPECT_TRUE(log.Has("pipeline: codec 'hevc' not supported yet, using h264"));
}

TEST(ComputeOutputSizeTest, FollowsTheSizeRules) {
  struct Case {
    const char* name;
    int32_t width, height, lines;
    OutputSize expected;
  };
  const Case cases[] = {
      {"1440p monitor at 1080 lines", 2560, 1440, 1080, {1920, 1080}},
      {"native", 2560, 1440, 0, {2560, 1440}},
      {"request above the monitor keeps its size", 1920, 1080, 2160, {1920, 1080}},
      {"request equal to the monitor", 1920, 1080, 1080, {1920, 1080}},
      {"odd width loses one pixel", 1921, 1080, 0, {1920, 1080}},
      {"odd height loses one line", 1280, 1025, 0, {1280, 1024}},
      {"1366x768 at 720 lines rounds then evens", 1366, 768, 720, {1280, 720}},
      {"16:10 at 1080 lines", 1920, 1200, 1080, {1728, 1080}},
      {"portrait at 720 lines", 1080, 1920, 720, {404, 720}},
      {"odd line request", 2560, 1440, 721, {1280, 720}},
      {"empty desktop", 0, 1080, 0, {0, 0}},
      {"request below two lines", 1920, 1080, 1, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ComputeOutputSize(c.width, c.height, c.lines), c.expected);
  }
}

TEST(MakeEncoderConfigTest, QualityAndBitrateModes) {
  PipelineConfig quality;
  quality.fps = 60;
  quality.quality = 19;
  quality.maxBitrateFactor = 25;
  quality.preset = 6;
  const EncoderConfig q = MakeEncoderConfig(quality, {1920, 1080});
  EXPECT_EQ(q.width, 1920u);
  EXPECT_EQ(q.height, 1080u);
  EXPECT_EQ(q.fps, 60u);
  EXPECT_EQ(q.rateControl, RateControl::ConstantQuality);
  EXPECT_EQ(q.quality, 19u);
  EXPECT_EQ(q.averageBitrate, 0u);
  EXPECT_EQ(q.maxBitrate, 31'104'000u);  // 25 x 1920 x 1080 x 60 / 100
  EXPECT_EQ(q.preset, 6u);
  EXPECT_EQ(q.keyframeSeconds, 2u);
  EXPECT_EQ(q.realtime, 1u);

  // 4K at 240 fps overflows 32 bits before the division.
  const EncoderConfig big = MakeEncoderConfig(quality, {3840, 2160});
  EXPECT_EQ(big.maxBitrate, static_cast<uint32_t>(int64_t{25} * 3840 * 2160 * 60 / 100));

  PipelineConfig bitrate;
  bitrate.rateControl = 1;
  bitrate.bitrate = 45'000'000;
  bitrate.fps = 30;
  const EncoderConfig b = MakeEncoderConfig(bitrate, {1280, 720});
  EXPECT_EQ(b.rateControl, RateControl::Vbr);
  EXPECT_EQ(b.averageBitrate, 45'000'000u);
  EXPECT_EQ(b.maxBitrate, 0u);  // left for the encoder to derive
  EXPECT_EQ(b.fps, 30u);
}

}  // namespace
}  // namespace kp
