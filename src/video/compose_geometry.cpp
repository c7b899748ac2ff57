#include "video/compose_geometry.h"

namespace kp {

ImageSize UprightSize(uint32_t width, uint32_t height, ImageRotation rotation) {
  if (rotation == ImageRotation::Rotate90 || rotation == ImageRotation::Rotate270) return {height, width};
  return {width, height};
}

PixelPoint DeliveredPixel(int32_t x, int32_t y, uint32_t width, uint32_t height, ImageRotation rotation) {
  const int32_t w = static_cast<int32_t>(width);
  const int32_t h = static_cast<int32_t>(height);
  switch (rotation) {
    case ImageRotation::Rotate90:  // the upright image is h wide: its column x is delivered row h-1-x
      return {y, h - 1 - x};
    case ImageRotation::Rotate180:
      return {w - 1 - x, h - 1 - y};
    case ImageRotation::Rotate270:  // the upright image is w tall: its row y is delivered column w-1-y
      return {w - 1 - y, x};
    case ImageRotation::Identity:
      break;
  }
  return {x, y};
}

PixelRect DestinationRect(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t outputWidth, uint32_t outputHeight) {
  const int64_t w = sourceWidth;
  const int64_t h = sourceHeight;
  const int64_t W = outputWidth;
  const int64_t H = outputHeight;
  if (w == 0 || h == 0 || w * H == W * h) {
    return {0, 0, static_cast<int32_t>(W), static_cast<int32_t>(H)};
  }
  if (w * H < W * h) {  // source narrower: bars left and right
    const int64_t d = (H * w / h) & ~int64_t{1};
    const int64_t left = ((W - d) / 2) & ~int64_t{1};
    return {static_cast<int32_t>(left), 0, static_cast<int32_t>(left + d), static_cast<int32_t>(H)};
  }
  const int64_t d = (W * h / w) & ~int64_t{1};  // source wider: bars above and below
  const int64_t top = ((H - d) / 2) & ~int64_t{1};
  return {0, static_cast<int32_t>(top), static_cast<int32_t>(W), static_cast<int32_t>(top + d)};
}

CursorPlacement PlaceCursor(int32_t screenX, int32_t screenY, int32_t hotspotX, int32_t hotspotY,
                            int32_t originX, int32_t originY, uint32_t composeWidth, uint32_t composeHeight) {
  const int64_t x = int64_t{screenX} - hotspotX - originX;
  const int64_t y = int64_t{screenY} - hotspotY - originY;
  CursorPlacement placement;
  if (x >= composeWidth || y >= composeHeight || x < -256 || y < -256) return placement;
  placement.draw = true;
  placement.x = static_cast<int32_t>(x);
  placement.y = static_cast<int32_t>(y);
  return placement;
}

}  // namespace kp
