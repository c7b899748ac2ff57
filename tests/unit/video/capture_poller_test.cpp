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
  DuplicationOpen OpenDuplication(DuplicatedOutput* output) override {
    ++openAttempts;
    const DuplicationOpen result = openResults.empty() ? DuplicationOpen::Opened : openResults.front();
    if (!openResults.empty()) openResults.pop_front();
    duplicating = result == DuplicationOpen::Opened;
    // As the system's backend logs a duplication the system refused.
    if (result == DuplicationOpen::Failed && failureLine) Log("capture: duplication failed (hr=0x887A0004)");
    if (duplicating) *output = {L"\\\\.\\DISPLAY2", -1920, 120, 1920, 1080, rotation};
    return result;
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
  bool QueryPointer(PointerPosition* position) override {
    *position = pointer;
    return true;
  }

  bool failureLine = false, deviceRemoved = false, copySucceeds = true, snapshotSucceeds = true, duplicating = false,
       frameHeld = false;
  std::deque<DuplicationOpen> openResults;  // empty: opening succeeds
  ImageRotation rotation = ImageRotation::Identity;
  PointerPosition pointer{-1000, 500};  // over the output
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
  backend.openResults = {DuplicationOpen::Failed, DuplicationOpen::Failed, DuplicationOpen::Failed};
  backend.failureLine = true;
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
  EXPECT_EQ(log.Lines(), (Lines{"capture: duplication failed (hr=0x887A0004)",
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
    // The last image stands in, unless it went with its texture.
    const S held = c.copySucceeds ? S::Unchanged : S::NoFrame;
    EXPECT_EQ(r.poller.Poll(), held);
    EXPECT_EQ(r.poller.HaveFrame(), c.copySucceeds);
    EXPECT_FALSE(r.backend.duplicating || r.backend.frameHeld);
    r.backend.copySucceeds = true;
    // Back-off after the loss; failed reopenings stay silent.
    r.backend.openResults = {DuplicationOpen::Failed};
    r.clock.Advance(249 * kMs);
    EXPECT_EQ(r.poller.Poll(), held);
    EXPECT_EQ(r.backend.openAttempts, 1);
    r.clock.Advance(250 * kMs);
    EXPECT_EQ(r.poller.Poll(), held);
    r.clock.Advance(250 * kMs);
    EXPECT_EQ(r.poller.Poll(), S::NewFrame);
    EXPECT_EQ(r.backend.openAttempts, 3);
    EXPECT_EQ(r.poller.Recoveries(), 1);
    EXPECT_EQ(r.log.Lines(), (Lines{kDuplicating, c.line, kDuplicating + " [recovered]"}));
  }
}

// A loss keeps the last image for 5 s, then the capture is suspended (the
// pipeline cuts) until a duplication delivers again; with no image ever it
// is black from the start. The image that ends it may be the snapshot.
TEST(CapturePollerHoldTest, LongLossSuspendsUntilAnImageReturns) {
  for (const bool snapshot : {false, true}) {
    SCOPED_TRACE(snapshot ? "back by snapshot" : "back by a duplicated frame");
    Rig r;
    r.poller.Start();
    r.backend.acquires = {{kAcquireOk, true}, {kAcquireAccessLost, false}};
    EXPECT_EQ(r.poller.Poll(), S::NewFrame);
    r.backend.openResults = std::deque<DuplicationOpen>(20, DuplicationOpen::Failed);  // a lock screen
    const int64_t advance[] = {0, 4999, 1, 60'000};
    const S expected[] = {S::Unchanged, S::Unchanged, S::Suspended, S::Suspended};
    for (int i = 0; i < 4; ++i) {
      r.clock.Advance(advance[i] * kMs);
      EXPECT_EQ(r.poller.Poll(), expected[i]) << i;
    }
    r.backend.openResults.clear();
    if (!snapshot) r.backend.acquires = {{kAcquireOk, false}};  // even a pointer-only first frame is copied
    r.clock.Advance(250 * kMs);
    EXPECT_EQ(r.poller.Poll(), snapshot ? S::Suspended : S::NewFrame);
    r.clock.Advance(100 * kMs);
    EXPECT_EQ(r.poller.Poll(), snapshot ? S::NewFrame : S::Unchanged);
    EXPECT_EQ(r.backend.snapshotLefts.size(), snapshot ? 1u : 0u);
  }
  Rig r;
  r.backend.openResults = {DuplicationOpen::Failed};
  r.poller.Start();
  r.clock.Advance(10 * kTicksPerSecond);
  EXPECT_EQ(r.poller.Poll(), S::NoFrame) << "nothing was ever captured: black, not a cut";
}

// A duplication that answers nothing for 5 s while the pointer moves over its
// output is opened again; a pointer-only update is an answer, and a pointer
// that stands still or moves over another output proves nothing.
TEST(CapturePollerSilenceTest, SilentDuplicationIsReopenedOnlyWhileThePointerMovesOverIt) {
  struct Case {
    const char* what;
    PointerPosition moveTo;
    bool pointerUpdateAt3s;
    int opens;
  };
  const Case cases[] = {
      {"moving over the output", {-900, 600}, false, 2},
      {"a pointer-only update at 3 s", {-900, 600}, true, 1},
      {"still", {-1000, 500}, false, 1},
      {"moving over another output", {100, 600}, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig r;
    r.poller.Start();
    r.backend.acquires = {{kAcquireOk, true}};
    EXPECT_EQ(r.poller.Poll(), S::NewFrame);
    if (c.moveTo.x > 0) r.backend.pointer = {50, 600};
    for (int t = 1; t <= 5; ++t) {
      r.clock.Advance(kTicksPerSecond);
      if (t == 3 && c.pointerUpdateAt3s) r.backend.acquires = {{kAcquireOk, false}};
      if (t == 2) r.backend.pointer = c.moveTo;
      EXPECT_EQ(r.poller.Poll(), S::Unchanged) << t;
    }
    EXPECT_EQ(r.backend.openAttempts, c.opens);
    EXPECT_EQ(r.poller.Recoveries(), c.opens - 1);
    EXPECT_EQ(r.backend.copies, 1);
  }
}

// At the first opening or at a later one, once per capture.
TEST(CapturePollerMoveTest, OutputOnAnotherAdapterRequestsARebuildWithOneLine) {
  const std::string moved = "capture: monitor moved to another GPU; pipeline restart required";
  for (const bool atStart : {true, false}) {
    Rig r;
    if (atStart) r.backend.openResults = {DuplicationOpen::OtherAdapter};
    r.poller.Start();
    if (!atStart) {
      r.backend.acquires = {{kAcquireAccessLost, false}};
      r.backend.openResults = {DuplicationOpen::OtherAdapter};
      EXPECT_EQ(r.poller.Poll(), S::NoFrame);
      r.clock.Advance(250 * kMs);
    }
    EXPECT_EQ(r.poller.Poll(), S::RebuildRequested);
    EXPECT_EQ(r.poller.Poll(), S::RebuildRequested);
    EXPECT_EQ(r.backend.openAttempts, atStart ? 1 : 2);
    const Lines expected =
        atStart ? Lines{moved} : Lines{kDuplicating, "capture: lost (access lost, hr=0x887A0026), retrying", moved};
    EXPECT_EQ(r.log.Lines(), expected);
  }
}

// Duplicated frames carry the duplication's rotation; the snapshot is upright.
TEST_F(CapturePollerTest, FramesCarryTheDuplicationsRotationSnapshotsNone) {
  backend.rotation = ImageRotation::Rotate90;
  poller.Start();
  clock.Advance(100 * kMs);
  EXPECT_EQ(poller.Poll(), S::NewFrame);
  EXPECT_EQ(poller.FrameRotation(), ImageRotation::Identity);
  backend.acquires = {{kAcquireOk, true}};
  EXPECT_EQ(poller.Poll(), S::NewFrame);
  EXPECT_EQ(poller.FrameRotation(), ImageRotation::Rotate90);
}

}  // namespace
}  // namespace kp
