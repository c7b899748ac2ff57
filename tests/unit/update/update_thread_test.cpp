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
  std::vector<int64_t> checkMs;
  std::vector<std::string> posted;
  int hostAsks = 0;
  std::promise<void> ended;
};

// The host exists for `hostChecks` asks; the checks yield `results` in turn;
// an accepted post is freed by the host, a refused one must be freed by the
// thread (the sanitizer run's leak checker sees a record nobody freed).
std::shared_ptr<Record> RunThread(int hostChecks, std::vector<std::optional<UpdateInfo>> results, bool accept) {
  auto r = std::make_shared<Record>();
  std::future<void> ended = r->ended.get_future();
  auto hostExists = [r, hostChecks] {
    std::lock_guard lock(r->mutex);
    if (r->hostAsks++ < hostChecks) return true;
    r->ended.set_value();
    return false;
  };
  auto check = [r, results] {
    std::lock_guard lock(r->mutex);
    r->checkMs.push_back(r->clock.Now() / kTicksPerMillisecond);
    return results.at(r->checkMs.size() - 1);
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

TEST(UpdateThread, ChecksAfterThirtySecondsThenDailyWhileTheHostExists) {
  auto r = RunThread(3, {UpdateInfo{"0.3.0", "notes"}, std::nullopt, UpdateInfo{"0.4.0", ""}}, true);
  EXPECT_EQ(r->checkMs, (std::vector<int64_t>{30'000, 86'430'000, 172'830'000}));
  EXPECT_EQ(r->posted, (std::vector<std::string>{"0.3.0|notes", "0.4.0|"}));
  EXPECT_EQ(r->hostAsks, 4);

  auto gone = RunThread(0, {}, true);  // gone before the first check
  EXPECT_TRUE(gone->checkMs.empty());
  EXPECT_EQ(gone->clock.Now(), 30'000 * kTicksPerMillisecond);

  auto refused = RunThread(1, {UpdateInfo{"0.3.0", "n"}}, false);  // host gone during the check
  EXPECT_EQ(refused->posted, (std::vector<std::string>{"0.3.0|n"}));
}

}  // namespace
}  // namespace kp
