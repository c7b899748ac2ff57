// Capture of the synthetic desktop (Linux build). Each poll that delivers a
// new image delivers image k of the SimDesktop, k being the number of images
// delivered before, so the capture of a run can be regenerated exactly.
// A test can script the result of each poll; once the script is used up
// every poll delivers a new image.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/video_chain.h"
#include "video/bgra_image.h"
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

class SimCapture {
 public:
  // `script`: the results of the first polls, in order. `NewFrame` delivers
  // the next image; `Unchanged` keeps the current one (and reports NoFrame
  // while there is none yet); `NoFrame` loses the image as a lost
  // duplication does (the next new image counts as a recovery);
  // `DeviceLost` loses it too and reports the device gone.
  // `flashes` are looked up on `clock` at each new image (none when null).
  SimCapture(SimDesktopSpec spec, std::vector<CaptureStatus> script, std::vector<SimFlash> flashes = {},
             Clock* clock = nullptr);

  // Logs the output it captures.
  bool Open();
  CaptureStatus AcquireFrame();

  // The current image, or null while there is none.
  const BgraImage* Image() const { return haveImage_ ? &image_ : nullptr; }
  // The pointer as it was when the current image was taken.
  const SimCursor& Cursor() const { return cursor_; }
  int32_t OriginX() const { return desktop_.spec().originX; }
  int32_t OriginY() const { return desktop_.spec().originY; }
  int32_t Recoveries() const { return recoveries_; }
  // Images delivered so far (the k of the next one).
  uint64_t ImagesDelivered() const { return delivered_; }

 private:
  SimDesktop desktop_;
  std::vector<CaptureStatus> script_;
  std::vector<SimFlash> flashes_;
  Clock* clock_;
  size_t scriptPosition_ = 0;
  BgraImage image_;
  SimCursor cursor_;
  bool haveImage_ = false;
  bool lost_ = false;
  uint64_t delivered_ = 0;
  int32_t recoveries_ = 0;
};

}  // namespace kp
