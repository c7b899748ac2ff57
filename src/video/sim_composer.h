// The frame composer of the Linux build: copies the captured desktop image
// into a compose image, draws the pointer into it, and converts and scales
// it into the NV12 frame the encoder reads, with the same placement rules
// (compose_geometry.h) as the GPU composer and BT.709 limited-range colour.
#pragma once

#include <cstdint>

#include "video/bgra_image.h"
#include "video/compose_geometry.h"
#include "video/cursor_hotspot_cache.h"
#include "video/nv12_frame.h"
#include "video/sim_desktop.h"

namespace kp {

class SimComposer {
 public:
  // Creates the NV12 output frame (black) of the given even size. The frame
  // object stays the same for the composer's whole life.
  bool Initialize(uint32_t width, uint32_t height, uint32_t fps);

  // One frame from `desktop` (null: no image, a black frame without pointer),
  // delivered turned by `rotation`, of the output at (originX, originY): the
  // image is turned upright first, then the pointer is drawn when
  // `showCursor`.
  bool Compose(const BgraImage* desktop, ImageRotation rotation, int32_t originX, int32_t originY, bool showCursor,
               const SimCursor& cursor);
  // An upright image.
  bool Compose(const BgraImage* desktop, int32_t originX, int32_t originY, bool showCursor, const SimCursor& cursor) {
    return Compose(desktop, ImageRotation::Identity, originX, originY, showCursor, cursor);
  }

  Nv12Frame& Output() { return output_; }
  const Nv12Frame& Output() const { return output_; }
  // Pointer-shape queries made so far (a cache miss each).
  int HotspotQueries() const { return hotspotQueries_; }

 private:
  void EnsureComposeStage(uint32_t width, uint32_t height);
  void DrawCursor(int32_t originX, int32_t originY, const SimCursor& cursor);
  void TurnUpright(const BgraImage& desktop, ImageRotation rotation);

  Nv12Frame output_;
  bool haveStage_ = false;
  BgraImage compose_;
  PixelRect destination_;
  CursorHotspotCache hotspots_;
  int hotspotQueries_ = 0;
};

}  // namespace kp
