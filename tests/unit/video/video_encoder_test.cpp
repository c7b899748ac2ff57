#include "video/video_encoder.h"

#include <gtest/gtest.h>

namespace kp {
namespace {

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
      {"vbr halves a given average before tripling", RateControl::Vbr, 1920, 1080, 60, 7, 0, 7, 9},
      {"vbr keeps a given maximum", RateControl::Vbr, 1920, 1080, 60, 0, 5, 16'174'080, 5},
      {"cq 1080p60 derives only the cap", RateControl::ConstantQuality, 1920, 1080, 60, 0, 0, 0, 19'906'560},
      {"cq keeps a given cap", RateControl::ConstantQuality, 1920, 1080, 60, 0, 3'000'000, 0, 3'000'000},
      // 3840 x 2160 x 240 x 16 overflows 32 bits before the division.
      {"cq 4k240 needs 64-bit products", RateControl::ConstantQuality, 3840, 2160, 240, 0, 0, 0, 318'504'960},
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
