// A CPU image of 32-bit B, G, R, A pixels (one byte each, in that order),
// rows packed without padding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kp {

struct BgraImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;  // width * height * 4 bytes

  void Resize(uint32_t w, uint32_t h) {
    width = w;
    height = h;
    pixels.assign(size_t{w} * h * 4, 0);
  }
  uint8_t* Row(uint32_t y) { return pixels.data() + size_t{y} * width * 4; }
  const uint8_t* Row(uint32_t y) const { return pixels.data() + size_t{y} * width * 4; }
};

}  // namespace kp
