#include "audio/fragment_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace kp {
namespace {

constexpr int64_t kMs = 10'000;
constexpr uint32_t kFragment = 240;  // 5 ms

// Positions of 5 ms fragments whose estimates are the true times plus
// `error(i)` for fragment i.
template <typename Error>
std::vector<int64_t> Positions(int count, Error error) {
  FragmentClock clock;
  std::vector<int64_t> positions;
  for (int i = 0; i < count; ++i) positions.push_back(clock.Next(1'000 * kMs + i * 5 * kMs + error(i), kFragment));
  return positions;
}

TEST(FragmentClockTest, JitterIsIgnoredAndAWanderingEstimateCostsOneStep) {
  // Scheduling jitter of up to 35 ms: positions are counted, exactly 5 ms apart.
  std::vector<int64_t> steady = Positions(400, [](int i) { return (i * 7919 % 36) * kMs; });
  for (int i = 1; i < 400; ++i) ASSERT_EQ(steady[i] - steady[i - 1], 5 * kMs) << i;

  // A server retuning its latency a second into the stream: the estimate
  // runs 5 ms ahead per fragment for 250 ms and then stays 250 ms ahead. One
  // step, once the disagreement has lasted half a second, then counting again.
  auto ramp = [](int i) { return std::clamp(i - 200, 0, 50) * 5 * kMs; };
  std::vector<int64_t> p = Positions(600, ramp);
  std::vector<int> steps;
  for (int i = 1; i < 600; ++i) {
    if (p[i] - p[i - 1] != 5 * kMs) steps.push_back(i);
  }
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_GE(steps[0], 208 + 100);  // 40 ms reached at fragment 208, plus 0.5 s
  EXPECT_EQ(p[steps[0]], 1'000 * kMs + steps[0] * 5 * kMs + 250 * kMs);
  EXPECT_EQ(p[599] - p[steps[0]], (599 - steps[0]) * 5 * kMs);

  // A stream whose first figures are 400 ms early: the clock takes the first
  // later one at once and counts from there.
  std::vector<int64_t> start = Positions(200, [](int i) { return i < 10 ? -400 * kMs : 0; });
  EXPECT_EQ(start[10], 1'000 * kMs + 10 * 5 * kMs);
  EXPECT_EQ(start[199] - start[10], 189 * 5 * kMs);
}

}  // namespace
}  // namespace kp
