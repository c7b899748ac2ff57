// The pixel work of the CPU edit frame processor: the crop of a decoded
// NV12 picture converted to full-range RGB, and premultiplied-alpha images
// drawn over it. Integer arithmetic only, so results are the same on every
// machine.
#pragma once

#include <cstdint>

#include "export/export_segments.h"
#include "video/bgra_image.h"
#include "video/nv12_frame.h"

namespace kp {

// Converts the part of `picture` inside `crop` (even corner) into `edit`,
// which must already have the crop's size: limited-range YCbCr with the
// BT.709 matrix when `bt709`, else BT.601, to full-range opaque BGRA. Each
// 2x2 block shares its chroma sample. Crop pixels outside the picture are
// black.
void ConvertNv12ToBgra(const Nv12Frame& picture, const SourceRect& crop, bool bt709, BgraImage& edit);

// Draws `image` (premultiplied BGRA) with its top-left corner at (x, y) of
// `target`, source over destination: out = src + dst * (255 - srcAlpha) / 255.
// Parts outside the target are clipped.
void BlendPremultiplied(const BgraImage& image, int32_t x, int32_t y, BgraImage& target);

// Straight-alpha BGRA to premultiplied, rounded to nearest.
void Premultiply(BgraImage& image);

}  // namespace kp
