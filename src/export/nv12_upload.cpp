#include "export/nv12_upload.h"

#include <cstring>

namespace kp {

size_t Nv12SourceBytes(uint32_t width, uint32_t height, size_t pitch) {
  const size_t chromaRows = height / 2;
  if (chromaRows == 0) return static_cast<size_t>(height) * pitch;
  return (static_cast<size_t>(height) + chromaRows - 1) * pitch + width;
}

bool CopyNv12Planes(const Nv12Source& source, const Nv12Target& target, uint32_t width, uint32_t height) {
  if (width == 0 || height == 0 || width % 2 != 0) return false;
  if (source.pitch < width || target.pitch < width) return false;
  if (source.firstRow == nullptr || target.firstRow == nullptr) return false;
  if (source.length < Nv12SourceBytes(width, height, source.pitch)) return false;

  for (uint32_t row = 0; row < height; ++row) {
    std::memcpy(target.firstRow + row * target.pitch, source.firstRow + row * source.pitch, width);
  }
  const uint8_t* sourceChroma = source.firstRow + static_cast<size_t>(height) * source.pitch;
  uint8_t* targetChroma = target.firstRow + static_cast<size_t>(height) * target.pitch;
  for (uint32_t row = 0; row < height / 2; ++row) {
    std::memcpy(targetChroma + row * target.pitch, sourceChroma + row * source.pitch, width);
  }
  return true;
}

}  // namespace kp
