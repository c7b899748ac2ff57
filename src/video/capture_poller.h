// The decisions of desktop duplication capture, apart from the system calls:
// when to (re)open the duplication, how a failed acquire turns into a loss
// with one log line and a 250 ms back-off, how long the last image stands in
// for a lost duplication, when the one-off desktop snapshot bridges the wait
// for an image, when a silent duplication is opened again, and what each poll
// reports. The calls themselves go through a DuplicationBackend, which the
// Windows capture implements with DXGI and GDI, the Linux build's synthetic
// desktop with its stand-in, and tests with a script.
#pragma once

#include <cstdint>
#include <string>

#include "app/repeat_log.h"
#include "video/compose_geometry.h"
#include "engine/video_chain.h"
#include "platform/clock.h"

namespace kp {

// Results of acquiring a duplicated frame, as the system reports them.
inline constexpr uint32_t kAcquireOk = 0;
inline constexpr uint32_t kAcquireWaitTimeout = 0x887A0027;   // nothing new within the timeout
inline constexpr uint32_t kAcquireDeviceRemoved = 0x887A0005;
inline constexpr uint32_t kAcquireDeviceReset = 0x887A0007;
inline constexpr uint32_t kAcquireAccessLost = 0x887A0026;     // mode change, secure desktop, ...
// Reported as the loss code when the capture image cannot be allocated.
inline constexpr uint32_t kCaptureOutOfMemory = 0x8007000E;

// The output a duplication was opened on, in virtual-desktop coordinates.
struct DuplicatedOutput {
  std::wstring deviceName;
  int32_t left = 0;
  int32_t top = 0;
  int32_t width = 0;   // upright, as the desktop shows the output
  int32_t height = 0;
  // How the duplicated images are turned against the upright desktop (read
  // after every duplication): they come in the panel's own orientation.
  ImageRotation rotation = ImageRotation::Identity;
};

enum class DuplicationOpen : int32_t {
  Opened = 0,
  Failed = 1,        // gone, refused (the backend logs why), retried later
  OtherAdapter = 2,  // the output now lies on another adapter than the device
};

struct PointerPosition {
  int32_t x = 0;  // virtual-desktop coordinates
  int32_t y = 0;
  bool operator==(const PointerPosition&) const = default;
};

class DuplicationBackend {
 public:
  virtual ~DuplicationBackend() = default;
  // True when the device reports that it was removed or reset.
  virtual bool DeviceRemoved() = 0;
  // Finds the output for the monitor setting and opens its duplication on
  // the device. Fills `output` when opened.
  virtual DuplicationOpen OpenDuplication(DuplicatedOutput* output) = 0;
  virtual bool HasDuplication() const = 0;
  virtual void ReleaseDuplication() = 0;
  // Polls the duplication without waiting. On kAcquireOk a frame is held
  // until ReleaseFrame, and `desktopChanged` tells whether its image is new
  // (false when only the pointer moved, which still counts as an answer).
  virtual uint32_t AcquireNextFrame(bool* desktopChanged) = 0;
  // Copies the held frame into the capture image, (re)allocating that image
  // when the frame's size or format differs; false when it cannot be allocated.
  virtual bool CopyFrame() = 0;
  virtual void ReleaseFrame() = 0;
  // Fills the capture image with a snapshot of `output` taken without the
  // duplication; false on any failure.
  virtual bool SnapshotDesktop(const DuplicatedOutput& output) = 0;
  // Where the system says the pointer is; false when it cannot tell.
  virtual bool QueryPointer(PointerPosition* position) = 0;
};

class CapturePoller {
 public:
  static constexpr int64_t kRetryTicks = 250 * kTicksPerMillisecond;
  static constexpr int64_t kFirstSnapshotTicks = 100 * kTicksPerMillisecond;
  static constexpr int64_t kSnapshotRetryTicks = kTicksPerSecond;
  // How long the last image stands in for a lost duplication.
  static constexpr int64_t kHoldTicks = 5 * kTicksPerSecond;
  // How long a duplication may stay silent while the pointer moves over
  // its output before it is opened again.
  static constexpr int64_t kSilenceTicks = 5 * kTicksPerSecond;

  // `backend` and `clock` must outlive the poller.
  CapturePoller(DuplicationBackend& backend, Clock& clock);

  // The first duplication attempt. A failure is logged once and retried by
  // Poll; the capture starts anyway.
  void Start();

  // One non-blocking poll:
  // - NewFrame: the capture image was updated;
  // - Unchanged: the last image stands (nothing new, or the duplication is
  //   lost for less than 5 s);
  // - NoFrame: no image was ever captured (black);
  // - Suspended: no image for 5 s, until a duplication delivers one again;
  // - DeviceLost, RebuildRequested: the chain must be rebuilt.
  CaptureStatus Poll();

  // The capture image holds a picture (also while it stands in for a lost
  // duplication).
  bool HaveFrame() const { return haveFrame_; }
  // How the capture image is turned: the duplication's rotation, or none
  // for the desktop snapshot (GDI delivers the desktop upright).
  ImageRotation FrameRotation() const { return frameRotation_; }
  // The output of the last duplication opened (zeros before the first).
  const DuplicatedOutput& Output() const { return output_; }
  // Duplications reopened after the first one.
  int32_t Recoveries() const { return recoveries_; }

 private:
  // Opens the duplication; false when it is not open afterwards.
  bool Duplicate();
  void Lose(const char* reason, uint32_t code);
  // What a poll without a new image reports.
  CaptureStatus Held() const;
  // The capture image now shows a fresh picture.
  void Fresh(ImageRotation rotation);
  // Watches a silent duplication; true when it has to be opened again.
  bool SilentTooLong();

  DuplicationBackend& backend_;
  Clock& clock_;
  DuplicatedOutput output_;
  bool haveFrame_ = false;
  bool duplicatedBefore_ = false;
  int64_t retryTime_ = 0;  // no duplication attempt before it
  int64_t seedTime_ = 0;   // no snapshot attempt before it
  int32_t recoveries_ = 0;
  // Each duplication attempt and each loss line: a duplication that keeps
  // failing (the monitor moved to another GPU) logs once, then counts.
  RepeatLog duplications_;
  ImageRotation frameRotation_ = ImageRotation::Identity;
  bool rebuildRequested_ = false;
  // The capture image is stale (a loss) since `staleSince_`.
  bool stale_ = false;
  int64_t staleSince_ = 0;
  // The last answer of the duplication (opening counts as one), and whether
  // the pointer moved over the output since.
  int64_t lastAnswer_ = 0;
  bool pointerKnown_ = false;
  bool pointerMoved_ = false;
  PointerPosition pointer_;
};

}  // namespace kp
