#include "video/sim_capture.h"

#include <algorithm>
#include <utility>

#include "app/log.h"
#include "platform/clock.h"

namespace kp {

SimEvent SimMachine::Next() {
  const SimEvent event = position < script.size() ? script[position++] : SimEvent::Image;
  locked = event == SimEvent::Locked;
  if (event == SimEvent::MovedAdapter) moved = !moved;
  return event;
}

SimCapture::SimCapture(SimDesktopSpec spec, int32_t deviceAdapter, std::shared_ptr<SimMachine> machine,
                       Clock& pollClock, std::vector<SimFlash> flashes, Clock* clock)
    : desktop_(std::move(spec)),
      deviceAdapter_(deviceAdapter),
      machine_(std::move(machine)),
      flashes_(std::move(flashes)),
      clock_(clock),
      poller_(*this, pollClock) {}

bool SimCapture::Open() {
  const SimDesktopSpec& s = desktop_.spec();
  Log("capture: synthetic desktop %dx%d at (%d,%d)", s.width, s.height, s.originX, s.originY);
  poller_.Start();
  return true;
}

CaptureStatus SimCapture::AcquireFrame() {
  event_ = machine_->Next();
  ++polls_;
  if (event_ == SimEvent::DeviceLost) deviceLost_ = true;
  if (event_ == SimEvent::Lost || event_ == SimEvent::MovedAdapter) lostOnce_ = true;
  return poller_.Poll();
}

DuplicationOpen SimCapture::OpenDuplication(DuplicatedOutput* output) {
  if (machine_->locked) return DuplicationOpen::Failed;  // the secure desktop cannot be duplicated
  const SimDesktopSpec& s = desktop_.spec();
  if (machine_->AdapterOf(s) != deviceAdapter_) return DuplicationOpen::OtherAdapter;
  *output = {s.deviceName, s.originX, s.originY, s.width, s.height, s.rotation};
  duplicating_ = true;
  return DuplicationOpen::Opened;
}

uint32_t SimCapture::AcquireNextFrame(bool* desktopChanged) {
  *desktopChanged = false;
  if (lostOnce_ || machine_->locked) {
    lostOnce_ = false;
    return kAcquireAccessLost;
  }
  switch (event_) {
    case SimEvent::Silent:
      return kAcquireWaitTimeout;
    case SimEvent::PointerOnly:
      return kAcquireOk;
    default:
      *desktopChanged = true;
      return kAcquireOk;
  }
}

void SimCapture::TakeImage(bool delivered) {
  if (delivered) {
    desktop_.RenderDelivered(delivered_, image_);
  } else {
    desktop_.Render(delivered_, image_);
  }
  if (clock_ != nullptr && !flashes_.empty()) {
    const int64_t now = clock_->Now();
    for (const SimFlash& flash : flashes_) {
      if (now >= flash.start && now - flash.start < flash.length) {
        std::fill(image_.pixels.begin(), image_.pixels.end(), uint8_t{255});
      }
    }
  }
  cursor_ = desktop_.CursorAt(delivered_);
  ++delivered_;
}

bool SimCapture::CopyFrame() {
  TakeImage(/*delivered=*/true);
  return true;
}

bool SimCapture::SnapshotDesktop(const DuplicatedOutput& /*output*/) {
  TakeImage(/*delivered=*/false);
  return true;
}

bool SimCapture::QueryPointer(PointerPosition* position) {
  // The pointer keeps moving whether or not the duplication reports it.
  const SimCursor cursor = desktop_.CursorAt(polls_);
  *position = {cursor.x, cursor.y};
  return true;
}

}  // namespace kp
