#include "video/capture_poller.h"

#include "app/log.h"
#include "platform/text.h"

namespace kp {

CapturePoller::CapturePoller(DuplicationBackend& backend, Clock& clock)
    : backend_(backend), clock_(clock), duplications_("capture: duplication", clock) {}

void CapturePoller::Start() {
  if (!Duplicate()) Log("capture: initial duplication failed, will keep retrying");
}

bool CapturePoller::Duplicate() {
  LogAttempt attempt(duplications_);
  backend_.ReleaseDuplication();
  DuplicatedOutput output;
  if (!backend_.OpenDuplication(&output)) return false;
  attempt.Succeeded();
  output_ = output;
  if (duplicatedBefore_) ++recoveries_;
  Log("capture: duplicating %s %ldx%ld at (%ld,%ld)%s", WideToUtf8(output_.deviceName).c_str(), static_cast<long>(output_.width),
      static_cast<long>(output_.height), static_cast<long>(output_.left), static_cast<long>(output_.top),
      duplicatedBefore_ ? " [recovered]" : "");
  duplicatedBefore_ = true;
  // Duplication usually delivers nothing until the screen changes; give it a
  // moment before falling back to a snapshot.
  seedTime_ = clock_.Now() + kFirstSnapshotTicks;
  return true;
}

void CapturePoller::Lose(const char* reason, uint32_t code) {
  // The loss line leads to the duplication attempts that follow.
  LogAttempt attempt(duplications_);
  // A run of failures while waiting logs only its first one.
  if (backend_.HasDuplication() || haveFrame_) {
    Log("capture: lost (%s, hr=0x%08lX), retrying", reason, static_cast<unsigned long>(code));
  }
  backend_.ReleaseDuplication();
  haveFrame_ = false;
  retryTime_ = clock_.Now() + kRetryTicks;
}

CaptureStatus CapturePoller::Poll() {
  if (backend_.DeviceRemoved()) {
    haveFrame_ = false;
    return CaptureStatus::DeviceLost;
  }
  if (!backend_.HasDuplication()) {
    if (clock_.Now() < retryTime_) return CaptureStatus::NoFrame;
    if (!Duplicate()) {
      retryTime_ = clock_.Now() + kRetryTicks;
      return CaptureStatus::NoFrame;
    }
  }

  bool desktopChanged = false;
  const uint32_t result = backend_.AcquireNextFrame(&desktopChanged);
  if (result == kAcquireWaitTimeout) {
    if (!haveFrame_ && clock_.Now() >= seedTime_) {
      if (backend_.SnapshotDesktop(output_)) {
        haveFrame_ = true;
        Log("capture: no frame from duplication yet — seeded with a GDI snapshot");
        return CaptureStatus::NewFrame;
      }
      seedTime_ = clock_.Now() + kSnapshotRetryTicks;
    }
    return Held();
  }
  if (result == kAcquireOk) {
    CaptureStatus status = Held();
    // A frame whose image did not change (only the pointer moved) is not
    // copied, unless there is no image at all yet.
    if (desktopChanged || !haveFrame_) {
      if (!backend_.CopyFrame()) {
        backend_.ReleaseFrame();
        Lose("texture alloc failed", kCaptureOutOfMemory);
        return CaptureStatus::NoFrame;
      }
      haveFrame_ = true;
      status = CaptureStatus::NewFrame;
    }
    backend_.ReleaseFrame();
    return status;
  }
  if (result == kAcquireDeviceRemoved || result == kAcquireDeviceReset) {
    haveFrame_ = false;
    return CaptureStatus::DeviceLost;
  }
  Lose(result == kAcquireAccessLost ? "access lost" : "acquire failed", result);
  return CaptureStatus::NoFrame;
}

}  // namespace kp
