#include "media/packet.h"

#include <gtest/gtest.h>

namespace kp {
namespace {

TEST(ToTimescaleTest, RoundsHalfUpAndTruncatesTowardZero) {
  const std::tuple<int64_t, uint32_t, int64_t> cases[] = {
      {10'000'000, 90000, 90000},
      {5'000, 1000, 1},  // exactly half a unit goes up
      {4'999, 1000, 0},
      {-15'000, 1000, -1},
      {-14'999, 1000, 0},  // toward zero, not down
      {864'000'000'000, 48000, 4'147'200'000},  // a day at 48 kHz stays exact
  };
  for (const auto& [ticks, timescale, expected] : cases) {
    EXPECT_EQ(ToTimescale(ticks, timescale), expected) << ticks << " @ " << timescale;
  }
}

}  // namespace
}  // namespace kp
