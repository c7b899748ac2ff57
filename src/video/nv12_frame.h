// A CPU NV12 frame: a luma plane of width x height bytes followed by the
// interleaved Cb/Cr plane of (width / 2) pairs x (height / 2) rows; the row
// stride of both planes is the width. Width and height are even. The Linux
// stand-ins pass a pointer to one of these where the Windows chain passes
// its NV12 texture.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kp {

struct Nv12Frame {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> data;  // width * height * 3 / 2 bytes

  // Sizes the frame and fills it with black (Y 16, Cb = Cr = 128).
  void Resize(uint32_t w, uint32_t h) {
    width = w;
    height = h;
    data.assign(LumaSize() + LumaSize() / 2, 128);
    std::fill(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(LumaSize()), uint8_t{16});
  }
  size_t LumaSize() const { return size_t{width} * height; }
  uint8_t* Luma(uint32_t y) { return data.data() + size_t{y} * width; }
  const uint8_t* Luma(uint32_t y) const { return data.data() + size_t{y} * width; }
  // Row `y` of the chroma plane (y < height / 2).
  uint8_t* Chroma(uint32_t y) { return data.data() + LumaSize() + size_t{y} * width; }
  const uint8_t* Chroma(uint32_t y) const { return data.data() + LumaSize() + size_t{y} * width; }
};

}  // namespace kp
