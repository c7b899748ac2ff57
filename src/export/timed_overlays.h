// The overlays of an export and the pixels they hold. Every image is checked
// when the job starts (by the frame processor), but its pixels are decoded
// only while its time window is open: on the first picture it covers, and
// released on the first picture it does not, so a job of thousands of timed
// images (subtitles) holds only the ones on screen. Each build's frame
// processor supplies its own pixels (a GDI bitmap, a BGRA image).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "export/export_job.h"
#include "export/export_media.h"

namespace kp {

template <typename Pixels>
class TimedOverlays {
 public:
  struct Overlay {
    OverlaySpec spec;
    std::unique_ptr<Pixels> pixels;  // only while the window is open
  };
  // The image's pixels; null when it cannot be decoded.
  using Decoder = std::function<std::unique_ptr<Pixels>(const std::wstring& image)>;

  void Add(std::wstring image, int32_t x, int32_t y, int64_t start, int64_t end) {
    overlays_.push_back(Overlay{OverlaySpec{std::move(image), x, y, start, end}, nullptr});
  }

  // Decodes the overlays whose window covers `time` and releases the others.
  // False when an image no longer decodes (the decoder says why).
  bool Update(int64_t time, const Decoder& decode) {
    for (Overlay& overlay : overlays_) {
      if (!OverlayCovers(overlay.spec.start, overlay.spec.end, time)) {
        overlay.pixels.reset();
      } else if (!overlay.pixels && !(overlay.pixels = decode(overlay.spec.image))) {
        return false;
      }
    }
    return true;
  }

  // The overlays that hold pixels (those covering the last Update's time),
  // in job order.
  template <typename Draw>
  void ForEachShown(Draw draw) const {
    for (const Overlay& overlay : overlays_) {
      if (overlay.pixels) draw(overlay.spec, *overlay.pixels);
    }
  }

  size_t Held() const {
    size_t held = 0;
    for (const Overlay& overlay : overlays_) held += overlay.pixels ? 1 : 0;
    return held;
  }

 private:
  std::vector<Overlay> overlays_;
};

}  // namespace kp
