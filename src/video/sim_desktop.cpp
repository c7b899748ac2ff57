#include "video/sim_desktop.h"

#include <algorithm>
#include <cstring>

namespace kp {

namespace {

void FillRect(BgraImage& image, int64_t left, int64_t top, int64_t width, int64_t height, uint8_t b, uint8_t g,
              uint8_t r) {
  const int64_t x0 = std::max<int64_t>(0, left);
  const int64_t y0 = std::max<int64_t>(0, top);
  const int64_t x1 = std::min<int64_t>(image.width, left + width);
  const int64_t y1 = std::min<int64_t>(image.height, top + height);
  for (int64_t y = y0; y < y1; ++y) {
    uint8_t* p = image.Row(static_cast<uint32_t>(y)) + x0 * 4;
    for (int64_t x = x0; x < x1; ++x, p += 4) {
      p[0] = b;
      p[1] = g;
      p[2] = r;
      p[3] = 255;
    }
  }
}

BgraImage MakeArrow() {
  BgraImage image;
  image.Resize(12, 19);
  for (uint32_t y = 0; y < 17; ++y) {
    const uint32_t span = std::min<uint32_t>(y, 11);
    for (uint32_t x = 0; x <= span; ++x) {
      const bool edge = x == 0 || x == span || y == 16;
      uint8_t* p = image.Row(y) + x * 4;
      const uint8_t v = edge ? 0 : 255;
      p[0] = p[1] = p[2] = v;
      p[3] = 255;
    }
  }
  for (uint32_t y = 17; y < 19; ++y) {  // the tail
    for (uint32_t x = 4; x < 7; ++x) {
      uint8_t* p = image.Row(y) + x * 4;
      p[0] = p[1] = p[2] = 0;
      p[3] = 255;
    }
  }
  return image;
}

BgraImage MakeBeam() {
  BgraImage image;
  image.Resize(9, 18);
  for (uint32_t y = 0; y < 18; ++y) {
    for (uint32_t x = 0; x < 9; ++x) {
      const bool serif = (y == 0 || y == 17) && x >= 1 && x <= 7;
      if (!serif && x != 4) continue;
      uint8_t* p = image.Row(y) + x * 4;
      p[0] = 20;
      p[1] = 20;
      p[2] = 20;
      p[3] = 255;
    }
  }
  return image;
}

}  // namespace

SimDesktop::SimDesktop(SimDesktopSpec spec) : spec_(spec) {
  const uint32_t w = static_cast<uint32_t>(std::max(1, spec_.width));
  const uint32_t h = static_cast<uint32_t>(std::max(1, spec_.height));
  background_.Resize(w, h);
  // A still "wallpaper" (gradients under a checkerboard) with two still
  // "windows" on it.
  for (uint32_t y = 0; y < h; ++y) {
    uint8_t* p = background_.Row(y);
    for (uint32_t x = 0; x < w; ++x, p += 4) {
      const bool dark = ((x / 64) + (y / 64)) % 2 == 0;
      p[0] = static_cast<uint8_t>(x * 255 / std::max<uint32_t>(1, w - 1));
      p[1] = static_cast<uint8_t>(y * 255 / std::max<uint32_t>(1, h - 1));
      p[2] = dark ? 0x40 : 0x90;
      p[3] = 255;
    }
  }
  FillRect(background_, w / 10, h / 2, w / 3, h / 3, 235, 235, 235);
  FillRect(background_, w / 10, h / 2, w / 3, std::max<uint32_t>(2, h / 40), 160, 90, 40);
  FillRect(background_, w * 6 / 10, h / 8, w / 4, h / 4, 30, 30, 30);
  const int64_t side = SimMarkerSide(spec_);
  FillRect(background_, w - 2 * side, side, side, side, 0, 0, 255);
}

int32_t SimMarkerSide(const SimDesktopSpec& spec) { return std::max(2, std::min(spec.width, spec.height) / 12); }

void SimDesktop::RenderDelivered(uint64_t k, BgraImage& image) const {
  if (spec_.rotation == ImageRotation::Identity) {
    Render(k, image);
    return;
  }
  BgraImage upright;
  Render(k, upright);
  const uint32_t w = upright.width;
  const uint32_t h = upright.height;
  const bool sideways = spec_.rotation != ImageRotation::Rotate180;
  image.Resize(sideways ? h : w, sideways ? w : h);
  // The panel shows the upright picture turned back: upright pixel (x, y)
  // lies at panel pixel (px, py).
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t* source = upright.Row(y);
    for (uint32_t x = 0; x < w; ++x) {
      uint32_t px = x, py = y;
      if (spec_.rotation == ImageRotation::Rotate90) {
        px = y;
        py = w - 1 - x;
      } else if (spec_.rotation == ImageRotation::Rotate270) {
        px = h - 1 - y;
        py = x;
      } else {
        px = w - 1 - x;
        py = h - 1 - y;
      }
      std::memcpy(image.Row(py) + size_t{px} * 4, source + size_t{x} * 4, 4);
    }
  }
}

void SimDesktop::Render(uint64_t k, BgraImage& image) const {
  if (image.width != background_.width || image.height != background_.height) {
    image.Resize(background_.width, background_.height);
  }
  std::memcpy(image.pixels.data(), background_.pixels.data(), background_.pixels.size());
  const int64_t w = image.width;
  const int64_t h = image.height;

  // A box sliding to the right, changing colour.
  const int64_t boxW = std::max<int64_t>(4, w / 12);
  const int64_t boxH = std::max<int64_t>(4, h / 9);
  const int64_t travel = std::max<int64_t>(1, w - boxW);
  FillRect(image, static_cast<int64_t>(k * 8 % static_cast<uint64_t>(travel)), h / 3, boxW, boxH,
           static_cast<uint8_t>(k * 37), static_cast<uint8_t>(200 - k * 11), static_cast<uint8_t>(60 + k * 3));

  // The frame number in binary, 16 cells at the top left.
  const int64_t cell = std::max<int64_t>(2, w / 120);
  for (int bit = 0; bit < 16; ++bit) {
    const uint8_t v = (k >> bit) & 1 ? 250 : 5;
    FillRect(image, cell + bit * cell, cell, cell, cell, v, v, v);
  }

  // A progress bar along the bottom that fills every 100 frames.
  const int64_t barWidth = static_cast<int64_t>(k % 100) * w / 100;
  FillRect(image, 0, h - 2 * cell, barWidth, cell, 0, 140, 255);
}

SimCursor SimDesktop::CursorAt(uint64_t k) const {
  SimCursor cursor;
  cursor.visible = k % 97 < 90;
  cursor.handle = (k / 45) % 2 == 0 ? kSimArrowCursor : kSimBeamCursor;
  if (k % 150 >= 140) {
    // Partly off the top-left corner of the output.
    cursor.x = spec_.originX - 5;
    cursor.y = spec_.originY - 3;
  } else {
    cursor.x = spec_.originX + spec_.width / 2 + static_cast<int32_t>(k * 7 % 301) - 150;
    cursor.y = spec_.originY + spec_.height / 2 + static_cast<int32_t>(k * 3 % 181) - 90;
  }
  return cursor;
}

const BgraImage& SimDesktop::CursorImage(uintptr_t handle) {
  static const BgraImage arrow = MakeArrow();
  static const BgraImage beam = MakeBeam();
  static const BgraImage none;
  if (handle == kSimArrowCursor) return arrow;
  if (handle == kSimBeamCursor) return beam;
  return none;
}

CursorHotspot SimDesktop::QueryHotspot(uintptr_t handle) {
  if (handle == kSimBeamCursor) return {4, 9};
  return {0, 0};
}

}  // namespace kp
