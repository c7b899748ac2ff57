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

// What the thread did, shared with it so it may outlive the test's frame.
struct Record {
  std::shared_ptr<test::FakeClock> clock = std::make_shared<test::FakeClock>(0);
  std::mutex mutex;
  std::vector<int64_t> checkTimesMs;
  std::vector<std::string> posted;
  int hostAsks = 0;
  std::promise<void> ended;
};

// Runs the thread with a host that exists for `hostChecks` asks, checks that
// yield `results` in turn, and a post that succeeds as `postAccepts` says.
std::shared_ptr<Record> RunThread(int hostChecks, std::vector<std::optional<UpdateInfo>> results, bool postAccepts) {
  auto record = std::make_shared<Record>();
  std::future<void> ended = record->ended.get_future();
  auto next = std::make_shared<size_t>(0);
  StartUpdateThread(
      {[record, hostChecks] {
         std::lock_guard lock(record->mutex);
         const bool exists = record->hostAsks++ < hostChecks;
         if (!exists) record->ended.set_value();
         return exists;
       },
       [record, results, next] {
         std::lock_guard lock(record->mutex);
         record->checkTimesMs.push_back(record->clock->Now() / kTicksPerMillisecond);
         return results.at((*next)++);
       },
       [record, postAccepts](UpdateInfo* info) {
         std::lock_guard lock(record->mutex);
         record->posted.push_back(info->version + "|" + info->notes);
         if (postAccepts) delete info;  // the host's side of a successful post
         return postAccepts;
       }},
      *record->clock);
  EXPECT_EQ(ended.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  return record;
}

TEST(UpdateThread, FirstCheckAfterThirtySecondsThenDaily) {
  std::shared_ptr<Record> r = RunThread(3, {UpdateInfo{"0.3.0", "notes"}, std::nullopt, UpdateInfo{"0.4.0", ""}}, true);
  std::lock_guard lock(r->mutex);
  const int64_t day = 24LL * 3600 * 1000;
  EXPECT_EQ(r->checkTimesMs, (std::vector<int64_t>{30'000, 30'000 + day, 30'000 + 2 * day}));
  EXPECT_EQ(r->posted, (std::vector<std::string>{"0.3.0|notes", "0.4.0|"}));
  EXPECT_EQ(r->hostAsks, 4);
}

TEST(UpdateThread, GoneHostEndsThreadAndAFailedPostFreesThePayload) {
  // A host gone before the first check: nothing is checked.
  std::shared_ptr<Record> gone = RunThread(0, {}, true);
  {
    std::lock_guard lock(gone->mutex);
    EXPECT_TRUE(gone->checkTimesMs.empty());
    EXPECT_EQ(gone->clock->Now(), 30'000 * kTicksPerMillisecond);
  }
  // The host ends while a check is in flight: the post fails and the record
  // stays the thread's to free (the leak checker of the sanitizer run sees it).
  std::shared_ptr<Record> r = RunThread(1, {UpdateInfo{"0.3.0", "n"}}, false);
  std::lock_guard lock(r->mutex);
  EXPECT_EQ(r->posted, (std::vector<std::string>{"0.3.0|n"}));
  EXPECT_EQ(r->hostAsks, 2);
}

}  // namespace
}  // namespace kp
