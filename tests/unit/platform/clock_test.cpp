#include <gtest/gtest.h>

#include <limits>

#include "platform/clock.h"
#include "support/fake_clock.h"

namespace kp {
namespace {

TEST(ClockTest, CounterConversionNeitherOverflowsNorLosesPrecision) {
  // A 10 MHz counter is already in ticks.
  EXPECT_EQ(CounterToTicks(123'456'789, 10'000'000), 123'456'789u);
  // 3 GHz counter after ~97 years: counter * 1e7 would overflow 64 bits.
  const uint64_t frequency = 3'000'000'000;
  const uint64_t counter = 9'200'000'000'000'000'000ull;
  EXPECT_EQ(CounterToTicks(counter, frequency), counter / frequency * 10'000'000 + (counter % frequency) * 10'000'000 / frequency);
  // 1 counter unit at 3 MHz is 3.33 ticks: the remainder term keeps it.
  EXPECT_EQ(CounterToTicks(3'000'001, 3'000'000), 10'000'003u);
}

TEST(ClockTest, MonotonicNowNeverGoesBackAndSystemSleepAdvancesIt) {
  uint64_t a = MonotonicNow();
  SystemClock().SleepMs(2);
  uint64_t b = MonotonicNow();
  EXPECT_GE(b - a, 2u * 10'000u);
  auto timer = SystemClock().CreateOneShotTimer();
  ASSERT_NE(timer, nullptr);
  EXPECT_TRUE(timer->Wait(5'000));  // 0.5 ms
  EXPECT_GE(MonotonicNow() - b, 5'000u);
}

TEST(ClockTest, FakeClockMovesOnlyWhenWaitedOn) {
  test::FakeClock clock(100);
  EXPECT_EQ(clock.Now(), 100);
  clock.SleepMs(3);
  EXPECT_EQ(clock.Now(), 100 + 3 * kTicksPerMillisecond);
  int64_t seen = 0;
  clock.SetOnAdvance([&](int64_t now) { seen = now; });
  clock.CreateOneShotTimer()->Wait(7);
  EXPECT_EQ(seen, 100 + 3 * kTicksPerMillisecond + 7);
  clock.SetTimerAvailable(false);
  EXPECT_EQ(clock.CreateOneShotTimer(), nullptr);
}

}  // namespace
}  // namespace kp
