#include "video/sim_composer.h"

#include <algorithm>
#include <cstring>

#include "app/log.h"
#include "video/bgra_to_nv12.h"

namespace kp {

bool SimComposer::Initialize(uint32_t width, uint32_t height, uint32_t /*fps*/) {
  if (width == 0 || height == 0 || width % 2 != 0 || height % 2 != 0) {
    Log("composer: failed to create NV12 output %ux%u", width, height);
    return false;
  }
  output_.Resize(width, height);
  haveStage_ = false;
  return true;
}

void SimComposer::EnsureComposeStage(uint32_t width, uint32_t height) {
  if (haveStage_ && compose_.width == width && compose_.height == height) return;
  compose_.Resize(width, height);
  destination_ = DestinationRect(width, height, output_.width, output_.height);
  haveStage_ = true;
  Log("composer: %ux%u -> %ux%u NV12", width, height, output_.width, output_.height);
}

void SimComposer::TurnUpright(const BgraImage& desktop, ImageRotation rotation) {
  if (rotation == ImageRotation::Identity) {
    std::memcpy(compose_.pixels.data(), desktop.pixels.data(), desktop.pixels.size());
    return;
  }
  for (uint32_t y = 0; y < compose_.height; ++y) {
    uint8_t* row = compose_.Row(y);
    for (uint32_t x = 0; x < compose_.width; ++x) {
      const PixelPoint from =
          DeliveredPixel(static_cast<int32_t>(x), static_cast<int32_t>(y), desktop.width, desktop.height, rotation);
      std::memcpy(row + size_t{x} * 4, desktop.Row(static_cast<uint32_t>(from.y)) + size_t(from.x) * 4, 4);
    }
  }
}

bool SimComposer::Compose(const BgraImage* desktop, ImageRotation rotation, int32_t originX, int32_t originY,
                          bool showCursor, const SimCursor& cursor) {
  if (output_.width == 0) return false;
  if (desktop && desktop->width > 0 && desktop->height > 0) {
    const ImageSize upright = UprightSize(desktop->width, desktop->height, rotation);
    EnsureComposeStage(upright.width, upright.height);
    TurnUpright(*desktop, rotation);
    if (showCursor) DrawCursor(originX, originY, cursor);
  } else {
    if (!haveStage_) EnsureComposeStage(output_.width, output_.height);
    for (size_t i = 0; i < compose_.pixels.size(); i += 4) {
      compose_.pixels[i] = 0;
      compose_.pixels[i + 1] = 0;
      compose_.pixels[i + 2] = 0;
      compose_.pixels[i + 3] = 255;
    }
  }
  ConvertToNv12(compose_, destination_, output_);
  return true;
}

void SimComposer::DrawCursor(int32_t originX, int32_t originY, const SimCursor& cursor) {
  if (!cursor.visible || cursor.handle == 0) return;
  CursorHotspot hotspot;
  if (const CursorHotspot* cached = hotspots_.Find(cursor.handle)) {
    hotspot = *cached;
  } else {
    hotspot = SimDesktop::QueryHotspot(cursor.handle);
    ++hotspotQueries_;
    hotspots_.Add(cursor.handle, hotspot);
  }
  const CursorPlacement at =
      PlaceCursor(cursor.x, cursor.y, hotspot.x, hotspot.y, originX, originY, compose_.width, compose_.height);
  if (!at.draw) return;
  const BgraImage& shape = SimDesktop::CursorImage(cursor.handle);
  for (uint32_t sy = 0; sy < shape.height; ++sy) {
    const int64_t y = int64_t{at.y} + sy;
    if (y < 0 || y >= compose_.height) continue;
    const uint8_t* s = shape.Row(sy);
    uint8_t* d = compose_.Row(static_cast<uint32_t>(y));
    for (uint32_t sx = 0; sx < shape.width; ++sx) {
      const int64_t x = int64_t{at.x} + sx;
      if (x < 0 || x >= compose_.width || s[sx * 4 + 3] == 0) continue;
      std::memcpy(d + x * 4, s + sx * 4, 4);
    }
  }
}

}  // namespace kp
