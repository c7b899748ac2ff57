// Desktop capture decisions against a scripted duplication: start-up and
// retry back-off, the snapshot bridge, copies only for changed images,
// losses logged once, recoveries, and device loss.
#include "video/capture_poller.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "support/log_capture.h"

namespace kp {
namespace {

using test::FakeClock;
using test::LogCapture;

constexpr int64_t kMs = kTicksPerMillisecond;

struct Acquire {
  uint32_t result;
  bool desktopChanged;
};

// A duplication whose every answer the test scripts; records what it was
// asked to do.
class ScriptedBackend : public DuplicationBackend {
 public:
  bool DeviceRemoved() override { return deviceRemoved; }
  bool OpenDuplication(DuplicatedOutput* output) override {
    ++openAttempts;
    const bool ok = openResults.empty() ? true : openResults.front();
    if (!openResults.empty()) openResults.pop_front();
    if (ok) {
      *output = {L"\\\\.\\DISPLAY2", -1920, 120, 1920, 1080};
      duplicating = true;
    }
    return ok;
  }
  bool HasDuplication() const override { return duplicating; }
  void ReleaseDuplication() override {
    if (duplicating) ++releases;
    duplicating = false;
  }
  uint32_t AcquireNextFrame(bool* desktopChanged) override {
    EXPECT_TRUE(duplicating) << "acquire without a duplication";
    EXPECT_FALSE(frameHeld) << "previous frame not released";
    Acquire next = acquires.empty() ? Acquire{kAcquireWaitTimeout, false} : acquires.front();
    if (!acquires.empty()) acquires.pop_front();
    *desktopChanged = next.desktopChanged;
    frameHeld = next.result == kAcquireOk;
    return next.result;
  }
  bool CopyFrame() override {
    EXPECT_TRUE(frameHeld);
    ++copies;
    return copySucceeds;
  }
  void ReleaseFrame() override {
    EXPECT_TRUE(frameHeld);
    frameHeld = false;
  }
  bool SnapshotDesktop(const DuplicatedOutput& output) override {
    snapshotOutputs.push_back(output);
    return snapshotSucceeds;
  }

  bool deviceRemoved = false;
  std::deque<bool> openResults;  // empty: opening succeeds
  std::deque<Acquire> acquires;  // empty: every acquire times out
  bool copySucceeds = true;
  bool snapshotSucceeds = true;

  bool duplicating = false;
  bool frameHeld = false;
  int openAttempts = 0;
  int releases = 0;
  int copies = 0;
  std::vector<DuplicatedOutput> snapshotOutputs;
};

class CapturePollerTest : public ::testing::Test {
 protected:
  FakeClock clock;
  ScriptedBackend backend;
  CapturePoller poller{backend, clock};
  LogCapture log;
};

const std::string kDuplicating = "capture: duplicating \\\\.\\DISPLAY2 1920x1080 at (-1920,120)";
const std::string kRecovered = kDuplicating + " [recovered]";

TEST_F(CapturePollerTest, StartOpensDuplicationAndRecordsTheOutput) {
  poller.Start();
  EXPECT_TRUE(backend.duplicating);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{kDuplicating});
  EXPECT_EQ(poller.Output().left, -1920);
  EXPECT_EQ(poller.Output().top, 120);
  EXPECT_EQ(poller.Recoveries(), 0);
  EXPECT_FALSE(poller.HaveFrame());
}

TEST_F(CapturePollerTest, FailedStartLogsOnceThenRetriesEvery250Ms) {
  backend.openResults = {false, false, false, true};
  poller.Start();
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"capture: initial duplication failed, will keep retrying"});

  // The first poll retries at once (no back-off was set by the start).
  EXPECT_EQ(poller.Poll(), CaptureStatus::NoFrame);
  EXPECT_EQ(backend.openAttempts, 2);
  // Within 250 ms nothing is attempted.
  clock.Advance(249 * kMs);
  EXPECT_EQ(poller.Poll(), CaptureStatus::NoFrame);
  EXPECT_EQ(backend.openAttempts, 2);
  clock.Advance(1 * kMs);
  EXPECT_EQ(poller.Poll(), CaptureStatus::NoFrame);
  EXPECT_EQ(backend.openAttempts, 3);
  // The successful attempt goes on to acquire in the same poll; the first
  // opening ever is not a recovery, and failed attempts log nothing more.
  clock.Advance(250 * kMs);
  backend.acquires = {{kAcquireOk, true}};
  EXPECT_EQ(poller.Poll(), CaptureStatus::NewFrame);
  EXPECT_EQ(backend.openAttempts, 4);
  EXPECT_EQ(poller.Recoveries(), 0);
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"capture: initial duplication failed, will keep retrying", kDuplicating}));
}

TEST_F(CapturePollerTest, ChangedImagesAreCopiedPointerOnlyFramesAreNot) {
  poller.Start();
  backend.acquires = {{kAcquireOk, false},  // no image yet: copied even though only the pointer moved
                      {kAcquireOk, false},  // pointer only: no copy
                      {kAcquireWaitTimeout, false},
                      {kAcquireOk, true}};
  EXPECT_EQ(poller.Poll(), CaptureStatus::NewFrame);
  EXPECT_EQ(backend.copies, 1);
  EXPECT_EQ(poller.Poll(), CaptureStatus::Unchanged);
  EXPECT_EQ(backend.copies, 1);
  EXPECT_EQ(poller.Poll(), CaptureStatus::Unchanged);
  EXPECT_EQ(poller.Poll(), CaptureStatus::NewFrame);
  EXPECT_EQ(backend.copies, 2);
  EXPECT_FALSE(backend.frameHeld);
  EXPECT_TRUE(backend.snapshotOutputs.empty());
}

TEST_F(CapturePollerTest, StaticDesktopIsSeededBySnapshot100MsAfterOpening) {
  poller.Start();
  clock.Advance(99 * kMs);
  EXPECT_EQ(poller.Poll(), CaptureStatus::NoFrame);
  EXPECT_TRUE(backend.snapshotOutputs.empty());
  clock.Advance(1 * kMs);
  EXPECT_EQ(poller.Poll(), CaptureStatus::NewFrame);
  ASSERT_EQ(backend.snapshotOutputs.size(), 1u);
  EXPECT_EQ(backend.snapshotOutputs[0].width, 1920);
  EXPECT_EQ(backend.snapshotOutputs[0].left, -1920);
  EXPECT_TRUE(poller.HaveFrame());
  EXPECT_TRUE(log.Has("capture: no frame from duplication yet — seeded with a GDI snapshot"));
  // Afterwards the snapshot stands; no further snapshots.
  clock.Advance(5 * kTicksPerSecond);
  EXPECT_EQ(poller.Poll(), CaptureStatus::Unchanged);
  EXPECT_EQ(backend.snapshotOutputs.size(), 1u);
}

TEST_F(CapturePollerTest, FailedSnapshotIsRetriedAtMostOncePerSecond) {
  backend.snapshotSucceeds = false;
  poller.Start();
  clock.Advance(100 * kMs);
  EXPECT_EQ(poller.Poll(), CaptureStatus::NoFrame);
  EXPECT_EQ(backend.snapshotOutputs.size(), 1u);
  clock.Advance(999 * kMs);
  EXPECT_EQ(poller.Poll(), CaptureStatus::NoFrame);
  EXPECT_EQ(backend.snapshotOutputs.size(), 1u);
  clock.Advance(1 * kMs);
  backend.snapshotSucceeds = true;
  EXPECT_EQ(poller.Poll(), CaptureStatus::NewFrame);
  EXPECT_EQ(backend.snapshotOutputs.size(), 2u);
  // A snapshot failure is silent.
  EXPECT_EQ(log.CountStartingWith("capture: lost"), 0);
}

TEST_F(CapturePollerTest, AcquireFailuresBecomeLossesLoggedOnlyOnce) {
  struct Case {
    uint32_t result;
    std::string line;
  };
  const Case cases[] = {
      {kAcquireAccessLost, "capture: lost (access lost, hr=0x887A0026), retrying"},
      {0x80004005, "capture: lost (acquire failed, hr=0x80004005), retrying"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    FakeClock caseClock;
    ScriptedBackend caseBackend;
    CapturePoller casePoller(caseBackend, caseClock);
    LogCapture caseLog;
    casePoller.Start();
    caseBackend.acquires = {{kAcquireOk, true}, {c.result, false}};
    caseBackend.openResults = {false, false};  // two failed reopenings after the loss
    EXPECT_EQ(casePoller.Poll(), CaptureStatus::NewFrame);
    EXPECT_EQ(casePoller.Poll(), CaptureStatus::NoFrame);
    EXPECT_FALSE(casePoller.HaveFrame());
    EXPECT_FALSE(caseBackend.duplicating);
    // Back-off after the loss, then failed reopenings stay silent.
    caseClock.Advance(249 * kMs);
    EXPECT_EQ(casePoller.Poll(), CaptureStatus::NoFrame);
    EXPECT_EQ(caseBackend.openAttempts, 1);
    caseClock.Advance(1 * kMs);
    EXPECT_EQ(casePoller.Poll(), CaptureStatus::NoFrame);
    caseClock.Advance(250 * kMs);
    EXPECT_EQ(casePoller.Poll(), CaptureStatus::NoFrame);
    EXPECT_EQ(caseBackend.openAttempts, 3);
    EXPECT_EQ(caseLog.CountStartingWith("capture: lost"), 1);
    EXPECT_TRUE(caseLog.Has(c.line));
  }
}

TEST_F(CapturePollerTest, ReopeningsCountAsRecoveries) {
  poller.Start();
  backend.acquires = {{kAcquireOk, true}, {kAcquireAccessLost, false}};
  poller.Poll();
  poller.Poll();
  clock.Advance(250 * kMs);
  backend.acquires = {{kAcquireOk, true}, {kAcquireAccessLost, false}};
  EXPECT_EQ(poller.Poll(), CaptureStatus::NewFrame);
  EXPECT_EQ(poller.Recoveries(), 1);
  poller.Poll();
  clock.Advance(250 * kMs);
  poller.Poll();
  EXPECT_EQ(poller.Recoveries(), 2);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                             kDuplicating, "capture: lost (access lost, hr=0x887A0026), retrying", kRecovered,
                             "capture: lost (access lost, hr=0x887A0026), retrying", kRecovered}));
}

TEST_F(CapturePollerTest, AllocationFailureReleasesTheFrameAndIsALoss) {
  poller.Start();
  backend.copySucceeds = false;
  backend.acquires = {{kAcquireOk, true}};
  EXPECT_EQ(poller.Poll(), CaptureStatus::NoFrame);
  EXPECT_FALSE(backend.frameHeld);
  EXPECT_FALSE(backend.duplicating);
  EXPECT_TRUE(log.Has("capture: lost (texture alloc failed, hr=0x8007000E), retrying"));
}

TEST_F(CapturePollerTest, DeviceLossIsReportedWithoutLogging) {
  poller.Start();
  backend.acquires = {{kAcquireOk, true}, {kAcquireDeviceReset, false}, {kAcquireDeviceRemoved, false}};
  EXPECT_EQ(poller.Poll(), CaptureStatus::NewFrame);
  EXPECT_EQ(poller.Poll(), CaptureStatus::DeviceLost);
  EXPECT_FALSE(poller.HaveFrame());
  EXPECT_EQ(poller.Poll(), CaptureStatus::DeviceLost);

  // A removed device is noticed before anything else is tried.
  backend.deviceRemoved = true;
  backend.duplicating = false;
  const int attempts = backend.openAttempts;
  EXPECT_EQ(poller.Poll(), CaptureStatus::DeviceLost);
  EXPECT_EQ(backend.openAttempts, attempts);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{kDuplicating});
}

}  // namespace
}  // namespace kp
