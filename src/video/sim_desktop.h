// The synthetic desktop of the Linux build: a deterministic test picture
// with moving parts and a moving, shape-changing mouse pointer. Image k and
// the pointer of image k are pure functions of k, so a test can regenerate
// exactly what a capture of frame k showed.
#pragma once

#include <cstdint>
#include <string>

#include "video/bgra_image.h"
#include "video/compose_geometry.h"
#include "video/cursor_hotspot_cache.h"

namespace kp {

// One output of the synthetic machine. Width and height are the upright
// desktop's, as the user sees it.
struct SimDesktopSpec {
  int32_t width = 1920;
  int32_t height = 1080;
  // Top-left corner of this output on the virtual desktop.
  int32_t originX = 0;
  int32_t originY = 0;
  // A rotated monitor: its duplicated images come in the panel's own
  // orientation, turned against the upright desktop by this rotation.
  ImageRotation rotation = ImageRotation::Identity;
  std::wstring deviceName = L"\\\\.\\DISPLAY1";
  int32_t adapter = 0;  // which of the machine's two adapters drives it at first
};

// The side of the red marker square in the upright image's top-right corner
// (it lies `SimMarkerSide` pixels from the top and right edges too), by which
// a test tells an upright picture from a turned one.
int32_t SimMarkerSide(const SimDesktopSpec& spec);

// The pointer as the system reports it: a shape handle and the screen
// position of its hot spot (virtual-desktop coordinates).
struct SimCursor {
  bool visible = false;
  uintptr_t handle = 0;
  int32_t x = 0;
  int32_t y = 0;
};

// Shape handles of the synthetic pointer.
inline constexpr uintptr_t kSimArrowCursor = 1;
inline constexpr uintptr_t kSimBeamCursor = 2;

class SimDesktop {
 public:
  explicit SimDesktop(SimDesktopSpec spec);

  const SimDesktopSpec& spec() const { return spec_; }
  // Draws upright image k into `image` (resized to the desktop size when
  // needed).
  void Render(uint64_t k, BgraImage& image) const;
  // Image k as duplication delivers it: in the panel's orientation.
  void RenderDelivered(uint64_t k, BgraImage& image) const;
  SimCursor CursorAt(uint64_t k) const;

  // The pointer shape of `handle` (fully transparent pixels are not drawn)
  // and its hot spot, as the system's icon query would report them. Unknown
  // handles give an empty image and the hot spot (0, 0).
  static const BgraImage& CursorImage(uintptr_t handle);
  static CursorHotspot QueryHotspot(uintptr_t handle);

 private:
  SimDesktopSpec spec_;
  BgraImage background_;
};

}  // namespace kp
