#include "update/update_thread.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/fake_clock.h"

namespace kp {
namespace {

// Shared with the detached thread, which may outlive the test's frame.
struct Record {
  test::FakeClock clock{0};
  std::mutex mutex;
  std::vector<int64_t> checkMs;  // on the monotonic clock
  std::vector<std::string> posted;
  std::promise<void> ended;
};

constexpr int64_t kHour = 3'600 * kTicksPerSecond;

// The host exists until `hostUntilMs` on the monotonic clock; the checks
// yield `results` in turn (nothing once they run out) and the first one is
// followed by `sleepAfterFirst` of machine sleep, which moves only the wall
// clock. An accepted post is freed by the host, a refused one must be freed
// by the thread (the sanitizer run's leak checker sees a record nobody freed).
std::shared_ptr<Record> RunThread(int64_t hostUntilMs, std::vector<std::optional<UpdateInfo>> results, bool accept,
                                  int64_t sleepAfterFirst = 0) {
  auto r = std::make_shared<Record>();
  std::future<void> ended = r->ended.get_future();
  auto hostExists = [r, hostUntilMs] {
    if (r->clock.Now() < hostUntilMs * kTicksPerMillisecond) return true;
    r->ended.set_value();
    return false;
  };
  auto check = [r, results, sleepAfterFirst]() -> std::optional<UpdateInfo> {
    std::lock_guard lock(r->mutex);
    r->checkMs.push_back(r->clock.Now() / kTicksPerMillisecond);
    if (r->checkMs.size() == 1) r->clock.ShiftSystemTime(sleepAfterFirst);
    return r->checkMs.size() <= results.size() ? results[r->checkMs.size() - 1] : std::nullopt;
  };
  auto post = [r, accept](UpdateInfo* info) {
    std::lock_guard lock(r->mutex);
    r->posted.push_back(info->version + "|" + info->notes);
    if (accept) delete info;
    return accept;
  };
  StartUpdateThread({hostExists, check, post}, r->clock);
  EXPECT_EQ(ended.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  return r;
}

TEST(UpdateThread, ChecksAfterThirtySecondsThenDailyByTheWallClockWhileTheHostExists) {
  auto r = RunThread(216'000'000, {UpdateInfo{"0.3.0", "notes"}, std::nullopt, UpdateInfo{"0.4.0", ""}}, true);
  EXPECT_EQ(r->checkMs, (std::vector<int64_t>{30'000, 86'430'000, 172'830'000}));
  EXPECT_EQ(r->posted, (std::vector<std::string>{"0.3.0|notes", "0.4.0|"}));
  // Woken every 15 min: gone at 60 h, the thread ends at its next wake.
  EXPECT_EQ(r->clock.Now(), 216'030'000 * kTicksPerMillisecond);

  // A laptop that slept 20 h after the first check is due 4 h later, at
  // the first wake past it; a clock set back a day is due at the next wake.
  auto slept = RunThread(20'000'000, {}, true, 20 * kHour);
  EXPECT_EQ(slept->checkMs, (std::vector<int64_t>{30'000, 14'430'000}));
  auto setBack = RunThread(2'000'000, {}, true, -24 * kHour);
  EXPECT_EQ(setBack->checkMs, (std::vector<int64_t>{30'000, 930'000}));

  auto gone = RunThread(0, {}, true);  // gone before the first check
  EXPECT_TRUE(gone->checkMs.empty());
  EXPECT_EQ(gone->clock.Now(), 30'000 * kTicksPerMillisecond);

  auto refused = RunThread(30'001, {UpdateInfo{"0.3.0", "n"}}, false);  // host gone during the check
  EXPECT_EQ(refused->posted, (std::vector<std::string>{"0.3.0|n"}));
}

}  // namespace
}  // namespace kp
