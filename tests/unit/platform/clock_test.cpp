#include "platform/clock.h"

#include <gtest/gtest.h>

namespace kp {
namespace {

TEST(ClockTest, CounterConversionNeitherOverflowsNorLosesPrecisionAndTimersWait) {
  EXPECT_EQ(CounterToTicks(123'456'789, 10'000'000), 123'456'789u);
  // A 3 GHz counter after ~97 years: counter * 1e7 would overflow 64 bits.
  EXPECT_EQ(CounterToTicks(9'200'000'000'000'000'000ull, 3'000'000'000), 30'666'666'666'666'666u);
  EXPECT_EQ(CounterToTicks(3'000'001, 3'000'000), 10'000'003u);  // the remainder's 3.33 ticks
  const uint64_t before = MonotonicNow();
  EXPECT_TRUE(SystemClock().CreateOneShotTimer()->Wait(5'000));  // 0.5 ms
  EXPECT_GE(MonotonicNow() - before, 5'000u);
}

}  // namespace
}  // namespace kp
