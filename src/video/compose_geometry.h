// The placement rules every frame composer follows, whatever draws the
// pixels: how a captured image is turned upright, where the upright desktop
// image lands in the output frame (scaled to keep its aspect ratio, centred,
// with black bars) and where the cursor is drawn.
#pragma once

#include <cstdint>

namespace kp {

// How a delivered image is turned against the upright desktop. Desktop
// duplication delivers a rotated monitor's image in the panel's own
// orientation; Rotate90 means the image must be turned 90 degrees clockwise
// to be upright (the desktop's value DXGI_MODE_ROTATION_ROTATE90, and the
// video processor's D3D11_VIDEO_PROCESSOR_ROTATION_90), Rotate270 counter-
// clockwise.
enum class ImageRotation : int32_t {
  Identity = 0,
  Rotate90 = 90,
  Rotate180 = 180,
  Rotate270 = 270,
};

struct ImageSize {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const ImageSize&) const = default;
};

// The size of the upright image of a delivered `width` x `height` image.
ImageSize UprightSize(uint32_t width, uint32_t height, ImageRotation rotation);

struct PixelPoint {
  int32_t x = 0;
  int32_t y = 0;
  bool operator==(const PixelPoint&) const = default;
};

// The pixel of the delivered `width` x `height` image that shows pixel
// (x, y) of the upright image.
PixelPoint DeliveredPixel(int32_t x, int32_t y, uint32_t width, uint32_t height, ImageRotation rotation);

struct PixelRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  int32_t Width() const { return right - left; }
  int32_t Height() const { return bottom - top; }
  bool operator==(const PixelRect&) const = default;
};

// Where an upright source image of `sourceWidth` x `sourceHeight` goes inside an
// output of `outputWidth` x `outputHeight` (all even): the whole output when
// the aspect ratios match; otherwise the full height with a centred width
// (pillarbox) or the full width with a centred height (letterbox), every
// edge on an even coordinate.
PixelRect DestinationRect(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t outputWidth, uint32_t outputHeight);

struct CursorPlacement {
  bool draw = false;
  int32_t x = 0;  // top-left corner of the cursor image in the compose image
  int32_t y = 0;
};

// Where the cursor image goes in an upright compose image of `composeWidth` x
// `composeHeight` (the cursor is drawn after the turn, never before) that
// shows the output whose top-left corner lies at
// (originX, originY) on the virtual desktop. (screenX, screenY) is the
// pointer position, (hotspotX, hotspotY) the cursor's hot spot. A cursor at
// most 256 pixels off the top or left edge is still drawn (partly); one
// further out, or at or beyond the right or bottom edge, is not.
CursorPlacement PlaceCursor(int32_t screenX, int32_t screenY, int32_t hotspotX, int32_t hotspotY,
                            int32_t originX, int32_t originY, uint32_t composeWidth, uint32_t composeHeight);

}  // namespace kp
