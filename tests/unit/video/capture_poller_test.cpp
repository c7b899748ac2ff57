// Desktop capture decisions against a scripted duplication.
#include "video/capture_poller.h"

#include <gtest/gtest.h>

#include <deque>

#include "app/log.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"

namespace kp {
namespace {

constexpr int64_t kMs = kTicksPerMillisecond;
using Lines = std::vector<std::string>;
using S = CaptureStatus;
const std::string kDuplicating = "capture: duplicating \\\\.\\DISPLAY2 1920x1080 at (-1920,120)";

struct Acquire {
  uint32_t result;
  bool desktopChanged;
};

// A duplication whose every answer the test scripts; records what it was asked.
class ScriptedBackend : public DuplicationBackend {
 public:
  bool DeviceRemoved() override { return deviceRemoved; }
  bool OpenDuplication(DuplicatedOutput* output) override {
    ++openAttempts;
    duplicating = openResults.empty() || openResults.front();
    if (!openResults.empty()) openResults.pop_front();
    // As the system's backend does when the output moved to another adapter.
    if (!duplicating && movedLine) Log("capture: monitor moved to another GPU; pipeline restart required");
    if (duplicating) *output = {L"\\\\.\\DISPLAY2", -1920, 120, 1920, 1080};
    return duplicating;
  }
  bool HasDuplication() const override { return duplicating; }
  void ReleaseDuplication() override { duplicating = false; }
  uint32_t AcquireNextFrame(bool* desktopChanged) override {
    EXPECT_TRUE(duplicating && !frameHeld) << "acquire without a duplication or with a frame held";
    const Acquire next = acquires.empty() ? Acquire{kAcquireWaitTimeout, false} : acquires.front();
    if (!acquires.empty()) acquires.pop_front();
    *desktopChanged = next.desktopChanged;
    frameHeld = next.result == kAcquireOk;
    return next.result;
  }
  bool CopyFrame() override { return ++copies, copySucceeds; }
  void ReleaseFrame() override { frameHeld = false; }
  bool SnapshotDesktop(const DuplicatedOutput& output) override {
    snapshotLefts.push_back(output.left);
    return snapshotSucceeds;
  }

  bool movedLine = false, deviceRemoved = false, copySucceeds = true, snapshotSucceeds = true, duplicating = false, frameHeld = false;
  std::deque<bool> openResults;  // empty: opening succeeds
  std::deque<Acquire> acquires;  // empty: every acquire times out
  int openAttempts = 0, copies = 0;
  std::vector<int32_t> snapshotLefts;
};

struct Rig {
  test::FakeClock clock;
  ScriptedBackend backend;
  CapturePoller poller{backend, clock};
  test::LogCapture log;
};

class CapturePollerTest : public ::testing::Test, protected Rig {};

TEST_F(CapturePollerTest, FailedStartLogsOnceThenRetriesEvery250Ms) {
  backend.openResults = {false, false, false, true};
  backend.movedLine = true;
  poller.Start();
  // The first poll retries at once, the next one 250 ms later.
  const int64_t advance[] = {0, 249, 1, 250};
  backend.acquires = {{kAcquireOk, true}};
  for (int i = 0; i < 4; ++i) {
    clock.Advance(advance[i] * kMs);
    EXPECT_EQ(poller.Poll(), i < 3 ? S::NoFrame : S::NewFrame) << i;
    EXPECT_EQ(backend.openAttempts, std::max(2, i + 1)) << i;
  }
  // The first opening ever is not a recovery; a failure that repeats is counted.
  EXPECT_EQ(poller.Recoveries(), 0);
  EXPECT_EQ(poller.Output().top, 120);
  EXPECT_EQ(log.Lines(), (Lines{"capture: monitor moved to another GPU; pipeline restart required",
                                "capture: initial duplication failed, will keep retrying", kDuplicating,
                                "capture: duplication recovered after 3 failed attempts"}));
}

TEST_F(CapturePollerTest, ChangedImagesAreCopiedPointerOnlyFramesAreNot) {
  poller.Start();
  backend.acquires = {{kAcquireOk, false},  // no image yet: copied even though only the pointer moved
                      {kAcquireOk, false},  // pointer only: no copy
                      {kAcquireWaitTimeout, false},
                      {kAcquireOk, true}};
  const S expected[] = {S::NewFrame, S::Unchanged, S::Unchanged, S::NewFrame};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(poller.Poll(), expected[i]) << "poll " << i;
    EXPECT_EQ(backend.copies, i < 3 ? 1 : 2) << "poll " << i;
  }
  EXPECT_FALSE(backend.frameHeld);
  EXPECT_TRUE(backend.snapshotLefts.empty());
}

TEST_F(CapturePollerTest, StaticDesktopIsSeededBySnapshotsFrom100MsAtMostOncePerSecond) {
  backend.snapshotSucceeds = false;
  poller.Start();
  // Snapshots (of the duplicated output) are tried at 100 ms and 1100 ms; the second succeeds.
  const int64_t advance[] = {99, 1, 999, 1, 5000};
  const size_t snapshots[] = {0, 1, 1, 2, 2};
  const S expected[] = {S::NoFrame, S::NoFrame, S::NoFrame, S::NewFrame, S::Unchanged};
  for (int i = 0; i < 5; ++i) {
    clock.Advance(advance[i] * kMs);
    backend.snapshotSucceeds = i == 3;
    EXPECT_EQ(poller.Poll(), expected[i]) << i;
    EXPECT_EQ(backend.snapshotLefts, std::vector<int32_t>(snapshots[i], -1920)) << i;
  }
  EXPECT_EQ(log.Lines(),
            (Lines{kDuplicating, "capture: no frame from duplication yet — seeded with a GDI snapshot"}));
}

TEST(CapturePollerLossTest, LossesAreLoggedOnceBackedOffAndRecovered) {
  struct Case {
    uint32_t result;
    bool copySucceeds;
    std::string line;
  };
  const Case cases[] = {
      {kAcquireAccessLost, true, "capture: lost (access lost, hr=0x887A0026), retrying"},
      {0x80004005, true, "capture: lost (acquire failed, hr=0x80004005), retrying"},
      {kAcquireOk, false, "capture: lost (texture alloc failed, hr=0x8007000E), retrying"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Rig r;
    r.poller.Start();
    r.backend.acquires = {{kAcquireOk, true}, {c.result, true}, {kAcquireOk, true}};
    EXPECT_EQ(r.poller.Poll(), S::NewFrame);
    r.backend.copySucceeds = c.copySucceeds;
    EXPECT_EQ(r.poller.Poll(), S::NoFrame);
    EXPECT_FALSE(r.poller.HaveFrame() || r.backend.duplicating || r.backend.frameHeld);
    r.backend.copySucceeds = true;
    // Back-off after the loss; failed reopenings stay silent.
    r.backend.openResults = {false, true};
    r.clock.Advance(249 * kMs);
    EXPECT_EQ(r.poller.Poll(), S::NoFrame);
    EXPECT_EQ(r.backend.openAttempts, 1);
    r.clock.Advance(250 * kMs);
    EXPECT_EQ(r.poller.Poll(), S::NoFrame);
    r.clock.Advance(250 * kMs);
    EXPECT_EQ(r.poller.Poll(), S::NewFrame);
    EXPECT_EQ(r.backend.openAttempts, 3);
    EXPECT_EQ(r.poller.Recoveries(), 1);
    EXPECT_EQ(r.log.Lines(), (Lines{kDuplicating, c.line, kDuplicating + " [recovered]"}));
  }
}

}  // namespace
}  // namespace kp
