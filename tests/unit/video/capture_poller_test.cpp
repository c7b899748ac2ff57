// Desktop capture decisions against a scripted duplication.
#include "video/capture_poller.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "support/log_capture.h"

namespace kp {
namespace {

constexpr int64_t kMs = kTicksPerMillisecond;
using Lines = std::vector<std::string>;
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
    const bool ok = openResults.empty() || openResults.front();
    if (!openResults.empty()) openResults.pop_front();
    if (ok) *output = {L"\\\\.\\DISPLAY2", -1920, 120, 1920, 1080};
    duplicating = ok;
    return ok;
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
  bool CopyFrame() override {
    ++copies;
    return copySucceeds;
  }
  void ReleaseFrame() override { frameHeld = false; }
  bool SnapshotDesktop(const DuplicatedOutput& output) override {
    snapshotLefts.push_back(output.left);
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
  int copies = 0;
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
  poller.Start();
  // The first poll retries at once; then nothing within 250 ms.
  EXPECT_EQ(poller.Poll(), CaptureStatus::NoFrame);
  EXPECT_EQ(backend.openAttempts, 2);
  clock.Advance(249 * kMs);
  EXPECT_EQ(poller.Poll(), CaptureStatus::NoFrame);
  EXPECT_EQ(backend.openAttempts, 2);
  clock.Advance(1 * kMs);
  EXPECT_EQ(poller.Poll(), CaptureStatus::NoFrame);
  EXPECT_EQ(backend.openAttempts, 3);
  // The successful attempt acquires in the same poll; the first opening ever
  // is not a recovery, and failed attempts log nothing more.
  clock.Advance(250 * kMs);
  backend.acquires = {{kAcquireOk, true}};
  EXPECT_EQ(poller.Poll(), CaptureStatus::NewFrame);
  EXPECT_EQ(backend.openAttempts, 4);
  EXPECT_EQ(poller.Recoveries(), 0);
  EXPECT_EQ(poller.Output().left, -1920);
  EXPECT_EQ(poller.Output().top, 120);
  EXPECT_EQ(log.Lines(), (Lines{"capture: initial duplication failed, will keep retrying", kDuplicating}));
}

TEST_F(CapturePollerTest, ChangedImagesAreCopiedPointerOnlyFramesAreNot) {
  poller.Start();
  backend.acquires = {{kAcquireOk, false},  // no image yet: copied even though only the pointer moved
                      {kAcquireOk, false},  // pointer only: no copy
                      {kAcquireWaitTimeout, false},
                      {kAcquireOk, true}};
  const CaptureStatus expected[] = {CaptureStatus::NewFrame, CaptureStatus::Unchanged, CaptureStatus::Unchanged,
                                    CaptureStatus::NewFrame};
  const int copies[] = {1, 1, 1, 2};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(poller.Poll(), expected[i]) << "poll " << i;
    EXPECT_EQ(backend.copies, copies[i]) << "poll " << i;
  }
  EXPECT_FALSE(backend.frameHeld);
  EXPECT_TRUE(backend.snapshotLefts.empty());
}

TEST_F(CapturePollerTest, StaticDesktopIsSeededBySnapshotsFrom100MsAtMostOncePerSecond) {
  backend.snapshotSucceeds = false;
  poller.Start();
  clock.Advance(99 * kMs);
  EXPECT_EQ(poller.Poll(), CaptureStatus::NoFrame);
  EXPECT_TRUE(backend.snapshotLefts.empty());
  clock.Advance(1 * kMs);
  EXPECT_EQ(poller.Poll(), CaptureStatus::NoFrame);
  EXPECT_EQ(backend.snapshotLefts, std::vector<int32_t>{-1920}) << "a snapshot of the duplicated output";
  clock.Advance(999 * kMs);
  EXPECT_EQ(poller.Poll(), CaptureStatus::NoFrame);
  EXPECT_EQ(backend.snapshotLefts.size(), 1u);
  clock.Advance(1 * kMs);
  backend.snapshotSucceeds = true;
  EXPECT_EQ(poller.Poll(), CaptureStatus::NewFrame);
  EXPECT_TRUE(poller.HaveFrame());
  // Afterwards the snapshot stands.
  clock.Advance(5 * kTicksPerSecond);
  EXPECT_EQ(poller.Poll(), CaptureStatus::Unchanged);
  EXPECT_EQ(backend.snapshotLefts.size(), 2u);
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
    EXPECT_EQ(r.poller.Poll(), CaptureStatus::NewFrame);
    r.backend.copySucceeds = c.copySucceeds;
    EXPECT_EQ(r.poller.Poll(), CaptureStatus::NoFrame);
    EXPECT_FALSE(r.poller.HaveFrame());
    EXPECT_FALSE(r.backend.duplicating);
    EXPECT_FALSE(r.backend.frameHeld);
    r.backend.copySucceeds = true;
    // Back-off after the loss; failed reopenings stay silent.
    r.backend.openResults = {false, false, true};
    r.clock.Advance(249 * kMs);
    EXPECT_EQ(r.poller.Poll(), CaptureStatus::NoFrame);
    EXPECT_EQ(r.backend.openAttempts, 1);
    for (int i = 0; i < 2; ++i) {
      r.clock.Advance(250 * kMs);
      EXPECT_EQ(r.poller.Poll(), CaptureStatus::NoFrame);
    }
    r.clock.Advance(250 * kMs);
    EXPECT_EQ(r.poller.Poll(), CaptureStatus::NewFrame);
    EXPECT_EQ(r.backend.openAttempts, 4);
    EXPECT_EQ(r.poller.Recoveries(), 1);
    EXPECT_EQ(r.log.Lines(), (Lines{kDuplicating, c.line, kDuplicating + " [recovered]"}));
  }
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
  EXPECT_EQ(poller.Poll(), CaptureStatus::DeviceLost);
  EXPECT_EQ(backend.openAttempts, 1);
  EXPECT_EQ(log.Lines(), Lines{kDuplicating});
}

}  // namespace
}  // namespace kp
