#include "video/video_encoder.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace kp {
namespace {

TEST(EncoderConfigTest, FieldsAreTenWordsInOrderWithDefaults) {
  EXPECT_EQ(offsetof(EncoderConfig, width), 0u);
  EXPECT_EQ(offsetof(EncoderConfig, height), 4u);
  EXPECT_EQ(offsetof(EncoderConfig, fps), 8u);
  EXPECT_EQ(offsetof(EncoderConfig, rateControl), 12u);
  EXPECT_EQ(offsetof(EncoderConfig, quality), 16u);
  EXPECT_EQ(offsetof(EncoderConfig, averageBitrate), 20u);
  EXPECT_EQ(offsetof(EncoderConfig, maxBitrate), 24u);
  EXPECT_EQ(offsetof(EncoderConfig, preset), 28u);
  EXPECT_EQ(offsetof(EncoderConfig, keyframeSeconds), 32u);
  EXPECT_EQ(offsetof(EncoderConfig, realtime), 36u);

  const EncoderConfig config;
  EXPECT_EQ(config.width, 0u);
  EXPECT_EQ(config.height, 0u);
  EXPECT_EQ(config.fps, 60u);
  EXPECT_EQ(config.rateControl, RateControl::ConstantQuality);
  EXPECT_EQ(config.quality, 23u);
  EXPECT_EQ(config.averageBitrate, 0u);
  EXPECT_EQ(config.maxBitrate, 0u);
  EXPECT_EQ(config.preset, 4u);
  EXPECT_EQ(config.keyframeSeconds, 2u);
  EXPECT_EQ(config.realtime, 1u);
  EXPECT_EQ(static_cast<uint32_t>(RateControl::Vbr), 1u);
}

TEST(EncoderConfigTest, DerivesMissingBitrates) {
  struct Case {
    const char* name;
    RateControl rateControl;
    uint32_t width, height, fps;
    uint32_t average, max;                  // given
    uint32_t expectedAverage, expectedMax;  // after DeriveBitrates
  };
  const Case cases[] = {
      {"vbr 1080p60 derives both", RateControl::Vbr, 1920, 1080, 60, 0, 0, 16'174'080, 24'261'120},
      {"vbr keeps a given average", RateControl::Vbr, 1920, 1080, 60, 8'000'000, 0, 8'000'000, 12'000'000},
      // Halving first: 7 / 2 = 3, times 3 = 9 (not 10).
      {"vbr halves before tripling", RateControl::Vbr, 1920, 1080, 60, 7, 0, 7, 9},
      {"vbr keeps a given maximum", RateControl::Vbr, 1920, 1080, 60, 0, 5, 16'174'080, 5},
      {"cq 1080p60 derives the cap", RateControl::ConstantQuality, 1920, 1080, 60, 0, 0, 0, 19'906'560},
      {"cq keeps a given cap", RateControl::ConstantQuality, 1920, 1080, 60, 0, 3'000'000, 0, 3'000'000},
      // 3840 x 2160 x 240 x 16 overflows 32 bits before the division.
      {"cq 4k240 needs 64-bit products", RateControl::ConstantQuality, 3840, 2160, 240, 0, 0, 0, 318'504'960},
      {"vbr 4k240", RateControl::Vbr, 3840, 2160, 240, 0, 0, 258'785'280, 388'177'920},
  };
  for (const Case& c : cases) {
    EncoderConfig config;
    config.rateControl = c.rateControl;
    config.width = c.width;
    config.height = c.height;
    config.fps = c.fps;
    config.averageBitrate = c.average;
    config.maxBitrate = c.max;
    DeriveBitrates(config);
    EXPECT_EQ(config.averageBitrate, c.expectedAverage) << c.name;
    EXPECT_EQ(config.maxBitrate, c.expectedMax) << c.name;
  }
}

}  // namespace
}  // namespace kp
