// Colour conversion and scaling of a BGRA image into an NV12 frame, BT.709
// matrix, full-range RGB in, limited-range (studio swing) YCbCr out: black is
// Y 16, white Y 235, chroma 16..240 around 128. Integer arithmetic only, so
// the result is the same on every machine and build.
#pragma once

#include <cstdint>

#include "video/bgra_image.h"
#include "video/compose_geometry.h"
#include "video/nv12_frame.h"

namespace kp {

struct YCbCr {
  uint8_t y = 0;
  uint8_t cb = 0;
  uint8_t cr = 0;
  bool operator==(const YCbCr&) const = default;
};

// One RGB colour in BT.709 limited range.
YCbCr RgbToYCbCr709(uint8_t r, uint8_t g, uint8_t b);

// Scales `source` (bilinear, sample centres aligned) into `destination`
// inside `frame` and paints the rest of the frame black. `destination` must
// lie inside the frame with even edges; the frame must be sized already.
// Each chroma sample is the conversion of the mean of its four scaled pixels.
void ConvertToNv12(const BgraImage& source, const PixelRect& destination, Nv12Frame& frame);

}  // namespace kp
