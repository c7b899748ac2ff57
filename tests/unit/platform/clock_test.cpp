#include "platform/clock.h"

#include <gtest/gtest.h>

namespace kp {
namespace {

TEST(ClockTest, CounterConversionNeitherOverflowsNorLosesPrecision) {
  EXPECT_EQ(CounterToTicks(123'456'789, 10'000'000), 123'456'789u);  // a 10 MHz counter is in ticks
  // A 3 GHz counter after ~97 years: counter * 1e7 would overflow 64 bits.
  EXPECT_EQ(CounterToTicks(9'200'000'000'000'000'000ull, 3'000'000'000), 30'666'666'666'666'666u);
  EXPECT_EQ(CounterToTicks(3'000'001, 3'000'000), 10'000'003u);  // the remainder's 3.33 ticks
}

TEST(ClockTest, MonotonicNowAdvancesWithTheSystemClocksWaits) {
  const uint64_t a = MonotonicNow();
  SystemClock().SleepMs(2);
  const uint64_t b = MonotonicNow();
  EXPECT_GE(b - a, 2u * 10'000u);
  auto timer = SystemClock().CreateOneShotTimer();
  ASSERT_NE(timer, nullptr);
  EXPECT_TRUE(timer->Wait(5'000));  // 0.5 ms
  EXPECT_GE(MonotonicNow() - b, 5'000u);
}

}  // namespace
}  // namespace kp
