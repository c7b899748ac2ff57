// Retry loops' repeated lines, on a fake clock.
#include "app/repeat_log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "app/log.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"

namespace kp {
namespace {

using Lines = std::vector<std::string>;
constexpr int64_t kMinute = 60 * kTicksPerSecond;
const std::string kRefused = "audio: mic activate failed (hr=0x80070005)";

struct RepeatLogTest : ::testing::Test {
  void Fail(RepeatLog& loop, const std::string& line) {
    LogAttempt attempt(loop);
    Log("%s", line.c_str());
  }
  test::FakeClock clock;
  test::LogCapture log;
};

TEST_F(RepeatLogTest, AnEpisodeWritesOnceCountsRewritesAfterTenMinutesAndRecovers) {
  {
    RepeatLog loop("audio: mic", clock);
    Fail(loop, kRefused);
    for (int i = 0; i < 3; ++i) {
      clock.Advance(3 * kMinute);
      Fail(loop, kRefused);
    }
    Log("%s", kRefused.c_str());  // outside an attempt
    clock.Advance(kMinute - 1);   // one tick before the 10 minutes: still counted
    Fail(loop, kRefused);
    clock.Advance(1);
    Fail(loop, kRefused);
    Fail(loop, kRefused);
    {
      LogAttempt attempt(loop);
      attempt.Succeeded();
      Log("audio: mic capturing 'Headset'");
    }
    Fail(loop, kRefused);  // a new episode starts written
    Fail(loop, kRefused);
    clock.Advance(90 * kTicksPerSecond);
  }
  EXPECT_EQ(log.Lines(), (Lines{kRefused, kRefused, kRefused + " (repeated 4 times in the last 10 min)",
                                "audio: mic capturing 'Headset'", "audio: mic recovered after 7 failed attempts",
                                kRefused, kRefused + " (repeated 1 times in the last 2 min)"}));
}

TEST_F(RepeatLogTest, OnlyTheOutermostAttemptOnItsOwnThreadCounts) {
  RepeatLog builds("pipeline: capture", clock);
  RepeatLog duplications("capture: duplication", clock);
  for (int i = 0; i < 3; ++i) {
    LogAttempt build(builds);
    {
      LogAttempt nested(duplications);  // counts for the build, its success ends nothing
      nested.Succeeded();
      Log("capture: duplicating DISPLAY1");
    }
    std::thread([] { Log("audio: desktop capturing 'Speakers'"); }).join();
  }
  {
    LogAttempt build(builds);
    build.Succeeded();
  }
  const std::string other = "audio: desktop capturing 'Speakers'";
  EXPECT_EQ(log.Lines(), (Lines{"capture: duplicating DISPLAY1", other, other, other,
                                "pipeline: capture recovered after 3 failed attempts"}));
}

TEST_F(RepeatLogTest, AFullTableEvictsTheOldestLineWithItsCount) {
  RepeatLog loop("buffer: segment file", clock);
  const std::string longLine(2000, 'x');
  Fail(loop, longLine);
  Fail(loop, longLine);
  for (int i = 1; i <= RepeatLog::kEntries; ++i) {
    clock.Advance(1);
    Fail(loop, "line " + std::to_string(i));
  }
  const Lines lines = log.Lines();
  ASSERT_EQ(lines.size(), RepeatLog::kEntries + 2u);
  const std::string suffix = " (repeated 1 times in the last 1 min)";
  // Cut to the line limit, the count kept.
  EXPECT_EQ(lines[RepeatLog::kEntries], std::string(1023 - suffix.size(), 'x') + suffix);
  EXPECT_EQ(lines[RepeatLog::kEntries + 1], "line 16");
}

}  // namespace
}  // namespace kp
