// Capture of the synthetic machine (Linux build): a duplication stand-in
// driven by the same CapturePoller as the Windows capture, so losses, the
// held last image, the cut after 5 s, the snapshot seed, a silent
// duplication and a move to another adapter take the real decisions. Each
// image is image k of the output's SimDesktop, k being the number of images
// delivered before, so the capture of a run can be regenerated exactly. A
// rotated output delivers its images in the panel's orientation and reports
// the rotation, as duplication does; the snapshot is upright.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/video_chain.h"
#include "video/bgra_image.h"
#include "video/capture_poller.h"
#include "video/sim_desktop.h"

namespace kp {

class Clock;

// A stretch of the monotonic clock (absolute ticks) during which every new
// image is white: a stimulus placed by capture time rather than by frame
// count, for alignment checks against audio.
struct SimFlash {
  int64_t start = 0;
  int64_t length = 0;
};

// What the synthetic machine does at one poll of its capture.
enum class SimEvent : int32_t {
  Image = 0,         // the desktop changed: a new image (every poll after the script)
  PointerOnly = 1,   // only the pointer moved
  Silent = 2,        // nothing reported (the pointer keeps moving): a stalled duplication
  Lost = 3,          // the duplication is lost once (a mode change); reopening works
  Locked = 4,        // the secure desktop: lost, and no duplication while Locked polls continue
  DeviceLost = 5,    // the device is removed
  MovedAdapter = 6,  // the output moves to the machine's other adapter (and the duplication is lost)
};

// The machine's timeline, shared by every chain of one factory: the script
// runs on across rebuilds, and a moved output stays moved.
struct SimMachine {
  std::vector<SimEvent> script;
  size_t position = 0;
  bool locked = false;
  bool moved = false;  // the output's adapter is the other one

  // The event of the next poll.
  SimEvent Next();
  int32_t AdapterOf(const SimDesktopSpec& spec) const { return moved ? 1 - spec.adapter : spec.adapter; }
};

class SimCapture : private DuplicationBackend {
 public:
  // Captures output `spec` on a device of adapter `deviceAdapter`.
  // `flashes` are looked up on `clock` at each new image (none when null);
  // the poller runs on `pollClock`.
  SimCapture(SimDesktopSpec spec, int32_t deviceAdapter, std::shared_ptr<SimMachine> machine, Clock& pollClock,
             std::vector<SimFlash> flashes = {}, Clock* clock = nullptr);

  // Logs the output it captures and opens the first duplication.
  bool Open();
  CaptureStatus AcquireFrame();

  // The current image (delivered orientation), or null while there is none.
  const BgraImage* Image() const { return poller_.HaveFrame() ? &image_ : nullptr; }
  ImageRotation FrameRotation() const { return poller_.FrameRotation(); }
  // The pointer as it was when the current image was taken.
  const SimCursor& Cursor() const { return cursor_; }
  int32_t OriginX() const { return desktop_.spec().originX; }
  int32_t OriginY() const { return desktop_.spec().originY; }
  int32_t Recoveries() const { return poller_.Recoveries(); }
  // Images delivered so far (the k of the next one).
  uint64_t ImagesDelivered() const { return delivered_; }

 private:
  bool DeviceRemoved() override { return deviceLost_; }
  DuplicationOpen OpenDuplication(DuplicatedOutput* output) override;
  bool HasDuplication() const override { return duplicating_; }
  void ReleaseDuplication() override { duplicating_ = false; }
  uint32_t AcquireNextFrame(bool* desktopChanged) override;
  bool CopyFrame() override;
  void ReleaseFrame() override {}
  bool SnapshotDesktop(const DuplicatedOutput& output) override;
  bool QueryPointer(PointerPosition* position) override;
  void TakeImage(bool delivered);

  SimDesktop desktop_;
  int32_t deviceAdapter_;
  std::shared_ptr<SimMachine> machine_;
  std::vector<SimFlash> flashes_;
  Clock* clock_;
  CapturePoller poller_;
  SimEvent event_ = SimEvent::Image;  // of the current poll
  BgraImage image_;
  SimCursor cursor_;
  bool duplicating_ = false;
  bool lostOnce_ = false;
  bool deviceLost_ = false;
  uint64_t delivered_ = 0;
  uint64_t polls_ = 0;
};

}  // namespace kp
