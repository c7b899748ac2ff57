// Overlay images of the Linux build: PNG files decoded with libavcodec's
// PNG decoder into premultiplied BGRA, where the Windows build uses WIC.
// Every PNG colour type and bit depth is read (16-bit samples keep their
// high byte); other image formats are not.
#pragma once

#include <optional>
#include <string>

#include "video/bgra_image.h"

namespace kp {

// The image, or nothing when the file cannot be read or decoded or has no
// pixels.
std::optional<BgraImage> DecodePngOverlay(const std::wstring& path);

}  // namespace kp
