#include "video/sim_capture.h"

#include <utility>

#include "app/log.h"

namespace kp {

SimCapture::SimCapture(SimDesktopSpec spec, std::vector<CaptureStatus> script)
    : desktop_(spec), script_(std::move(script)) {}

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
