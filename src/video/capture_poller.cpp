#include "video/capture_poller.h"

#include "app/log.h"
#include "platform/text.h"

namespace kp {

CapturePoller::CapturePoller(DuplicationBackend& backend, Clock& clock)
    : backend_(backend), clock_(clock), duplications_("capture: duplication", clock) {}

void CapturePoller::Start() {
  if (!Duplicate() && !rebuildRequested_) Log("capture: initial duplication failed, will keep retrying");
}

bool CapturePoller::Duplicate() {
  LogAttempt attempt(duplications_);
  backend_.ReleaseDuplication();
  DuplicatedOutput output;
  const DuplicationOpen opened = backend_.OpenDuplication(&output);
  if (opened == DuplicationOpen::OtherAdapter) {
    // Duplication only works on the adapter that drives the output; the
    // device has to be recreated there, which is the pipeline's rebuild.
    if (!rebuildRequested_) Log("capture: monitor moved to another GPU; pipeline restart required");
    rebuildRequested_ = true;
    return false;
  }
  if (opened != DuplicationOpen::Opened) return false;
  attempt.Succeeded();
  output_ = output;
  if (duplicatedBefore_) ++recoveries_;
  Log("capture: duplicating %s %ldx%ld at (%ld,%ld)%s", WideToUtf8(output_.deviceName).c_str(), static_cast<long>(output_.width),
      static_cast<long>(output_.height), static_cast<long>(output_.left), static_cast<long>(output_.top),
      duplicatedBefore_ ? " [recovered]" : "");
  duplicatedBefore_ = true;
  // Duplication usually delivers nothing until the screen changes; give it a
  // moment before falling back to a snapshot.
  const int64_t now = clock_.Now();
  seedTime_ = now + kFirstSnapshotTicks;
  lastAnswer_ = now;
  pointerKnown_ = pointerMoved_ = false;
  return true;
}

void CapturePoller::Lose(const char* reason, uint32_t code) {
  // The loss line leads to the duplication attempts that follow.
  LogAttempt attempt(duplications_);
  // A run of failures while waiting logs only its first one.
  if (backend_.HasDuplication() || (haveFrame_ && !stale_)) {
    Log("capture: lost (%s, hr=0x%08lX), retrying", reason, static_cast<unsigned long>(code));
  }
  backend_.ReleaseDuplication();
  // The last image stays up while the duplication returns (a UAC prompt, a
  // mode change, a game leaving exclusive full screen take moments).
  if (haveFrame_ && !stale_) {
    stale_ = true;
    staleSince_ = clock_.Now();
  }
  retryTime_ = clock_.Now() + kRetryTicks;
}

void CapturePoller::Fresh(ImageRotation rotation) {
  haveFrame_ = true;
  stale_ = false;
  frameRotation_ = rotation;
}

CaptureStatus CapturePoller::Held() const {
  if (!haveFrame_) return CaptureStatus::NoFrame;
  if (stale_ && clock_.Now() - staleSince_ >= kHoldTicks) return CaptureStatus::Suspended;
  return CaptureStatus::Unchanged;
}

bool CapturePoller::SilentTooLong() {
  // Pointer movement over this output would have been reported as an
  // update; a duplication that reports nothing while it moves has stopped
  // (seen after sleep and wake). Movement elsewhere proves nothing.
  PointerPosition now;
  if (backend_.QueryPointer(&now)) {
    const bool over = now.x >= output_.left && now.x < output_.left + output_.width && now.y >= output_.top &&
                      now.y < output_.top + output_.height;
    if (pointerKnown_ && over && !(now == pointer_)) pointerMoved_ = true;
    pointer_ = now;
    pointerKnown_ = true;
  }
  return pointerMoved_ && clock_.Now() - lastAnswer_ >= kSilenceTicks;
}

CaptureStatus CapturePoller::Poll() {
  if (rebuildRequested_) return CaptureStatus::RebuildRequested;
  if (backend_.DeviceRemoved()) {
    haveFrame_ = false;
    return CaptureStatus::DeviceLost;
  }
  if (!backend_.HasDuplication()) {
    if (clock_.Now() < retryTime_) return Held();
    if (!Duplicate()) {
      if (rebuildRequested_) return CaptureStatus::RebuildRequested;
      retryTime_ = clock_.Now() + kRetryTicks;
      return Held();
    }
  }

  bool desktopChanged = false;
  const uint32_t result = backend_.AcquireNextFrame(&desktopChanged);
  if (result == kAcquireWaitTimeout) {
    if ((!haveFrame_ || stale_) && clock_.Now() >= seedTime_) {
      if (backend_.SnapshotDesktop(output_)) {
        Fresh(ImageRotation::Identity);
        Log("capture: no frame from duplication yet — seeded with a GDI snapshot");
        return CaptureStatus::NewFrame;
      }
      seedTime_ = clock_.Now() + kSnapshotRetryTicks;
    }
    if (SilentTooLong()) {
      Log("capture: no update from duplication for 5 s while the pointer moves — duplicating again");
      if (!Duplicate()) {
        if (rebuildRequested_) return CaptureStatus::RebuildRequested;
        retryTime_ = clock_.Now() + kRetryTicks;
      }
    }
    return Held();
  }
  if (result == kAcquireOk) {
    lastAnswer_ = clock_.Now();
    pointerMoved_ = false;
    CaptureStatus status = Held();
    // A frame whose image did not change (only the pointer moved) is not
    // copied, unless the capture image holds nothing current.
    if (desktopChanged || !haveFrame_ || stale_) {
      if (!backend_.CopyFrame()) {
        backend_.ReleaseFrame();
        Lose("texture alloc failed", kCaptureOutOfMemory);
        haveFrame_ = stale_ = false;  // the image went with the texture
        return CaptureStatus::NoFrame;
      }
      Fresh(output_.rotation);
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
  return Held();
}

}  // namespace kp
