// The decisions of desktop duplication capture, apart from the system calls:
// when to (re)open the duplication, how a failed acquire turns into a loss
// with one log line and a 250 ms back-off, when the one-off desktop snapshot
// bridges the wait for the first duplicated image, and what each poll
// reports. The calls themselves go through a DuplicationBackend, which the
// Windows capture implements with DXGI and GDI and tests implement with a
// script.
#pragma once

#include <cstdint>
#include <string>

#include "app/repeat_log.h"
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
  int32_t width = 0;
  int32_t height = 0;
};

class DuplicationBackend {
 public:
  virtual ~DuplicationBackend() = default;
  // True when the device reports that it was removed or reset.
  virtual bool DeviceRemoved() = 0;
  // Finds the output for the monitor setting and opens its duplication on
  // the device; false when the output is gone, lies on another adapter (the
  // backend logs that) or cannot be duplicated. Fills `output` on success.
  virtual bool OpenDuplication(DuplicatedOutput* output) = 0;
  virtual bool HasDuplication() const = 0;
  virtual void ReleaseDuplication() = 0;
  // Polls the duplication without waiting. On kAcquireOk a frame is held
  // until ReleaseFrame, and `desktopChanged` tells whether its image is new
  // (false when only the pointer moved).
  virtual uint32_t AcquireNextFrame(bool* desktopChanged) = 0;
  // Copies the held frame into the capture image, (re)allocating that image
  // when the frame's size or format differs; false when it cannot be allocated.
  virtual bool CopyFrame() = 0;
  virtual void ReleaseFrame() = 0;
  // Fills the capture image with a snapshot of `output` taken without the
  // duplication; false on any failure.
  virtual bool SnapshotDesktop(const DuplicatedOutput& output) = 0;
};

class CapturePoller {
 public:
  static constexpr int64_t kRetryTicks = 250 * kTicksPerMillisecond;
  static constexpr int64_t kFirstSnapshotTicks = 100 * kTicksPerMillisecond;
  static constexpr int64_t kSnapshotRetryTicks = kTicksPerSecond;

  // `backend` and `clock` must outlive the poller.
  CapturePoller(DuplicationBackend& backend, Clock& clock);

  // The first duplication attempt. A failure is logged once and retried by
  // Poll; the capture starts anyway.
  void Start();

  // One non-blocking poll.
  CaptureStatus Poll();

  // The capture image holds a valid picture.
  bool HaveFrame() const { return haveFrame_; }
  // The output of the last duplication opened (zeros before the first).
  const DuplicatedOutput& Output() const { return output_; }
  // Duplications reopened after the first one.
  int32_t Recoveries() const { return recoveries_; }

 private:
  bool Duplicate();
  void Lose(const char* reason, uint32_t code);
  CaptureStatus Held() const { return haveFrame_ ? CaptureStatus::Unchanged : CaptureStatus::NoFrame; }

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
};

}  // namespace kp
