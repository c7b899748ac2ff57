#include "video/sim_capture.h"

#include <algorithm>
#include <utility>

#include "app/log.h"
#include "platform/clock.h"

namespace kp {

SimCapture::SimCapture(SimDesktopSpec spec, std::vector<CaptureStatus> script, std::vector<SimFlash> flashes,
                       Clock* clock)
    : desktop_(spec), script_(std::move(script)), flashes_(std::move(flashes)), clock_(clock) {}

bool SimCapture::Open() {
  const SimDesktopSpec& s = desktop_.spec();
  Log("capture: synthetic desktop %dx%d at (%d,%d)", s.width, s.height, s.originX, s.originY);
  return true;
}

CaptureStatus SimCapture::AcquireFrame() {
  const CaptureStatus next =
      scriptPosition_ < script_.size() ? script_[scriptPosition_++] : CaptureStatus::NewFrame;
  switch (next) {
    case CaptureStatus::NewFrame:
      if (lost_) {
        ++recoveries_;
        lost_ = false;
      }
      desktop_.Render(delivered_, image_);
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
      haveImage_ = true;
      return CaptureStatus::NewFrame;
    case CaptureStatus::Unchanged:
      return haveImage_ ? CaptureStatus::Unchanged : CaptureStatus::NoFrame;
    case CaptureStatus::NoFrame:
      if (haveImage_) lost_ = true;
      haveImage_ = false;
      return CaptureStatus::NoFrame;
    case CaptureStatus::DeviceLost:
      haveImage_ = false;
      return CaptureStatus::DeviceLost;
  }
  return CaptureStatus::NoFrame;
}

}  // namespace kp
