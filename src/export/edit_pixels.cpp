#include "export/edit_pixels.h"

#include <algorithm>

namespace kp {

namespace {

constexpr int32_t Fixed16(double v) { return static_cast<int32_t>(v * 65536.0 + (v >= 0 ? 0.5 : -0.5)); }

// Limited-range YCbCr to full-range RGB for the matrix with luma weights
// kr and kb: luma spans 16..235 and chroma 16..240.
struct Matrix {
  int32_t y, crR, cbG, crG, cbB;
};

constexpr Matrix MakeMatrix(double kr, double kb) {
  const double kg = 1.0 - kr - kb;
  const double luma = 255.0 / 219.0;
  const double chroma = 255.0 / 224.0;
  return {Fixed16(luma), Fixed16(2 * (1 - kr) * chroma), Fixed16(-2 * (1 - kb) * kb / kg * chroma),
          Fixed16(-2 * (1 - kr) * kr / kg * chroma), Fixed16(2 * (1 - kb) * chroma)};
}

constexpr Matrix kBt709 = MakeMatrix(0.2126, 0.0722);
constexpr Matrix kBt601 = MakeMatrix(0.299, 0.114);

inline uint8_t Channel(int32_t fixed) { return static_cast<uint8_t>(std::clamp((fixed + 32768) >> 16, 0, 255)); }

}  // namespace

void ConvertNv12ToBgra(const Nv12Frame& picture, const SourceRect& crop, bool bt709, BgraImage& edit) {
  // A copy: stores through uint8_t pointers would otherwise make the
  // compiler reload the coefficients for every pixel.
  const Matrix m = bt709 ? kBt709 : kBt601;
  // Columns of the edit frame that lie inside the picture.
  const auto first = static_cast<uint32_t>(std::clamp<int64_t>(-int64_t{crop.left}, 0, edit.width));
  const auto last = static_cast<uint32_t>(
      std::clamp<int64_t>(int64_t{picture.width} - crop.left, first, edit.width));
  for (uint32_t row = 0; row < edit.height; ++row) {
    uint8_t* out = edit.Row(row);
    for (uint32_t col = 0; col < edit.width; ++col) {  // black, then the inside is overwritten
      out[col * 4] = out[col * 4 + 1] = out[col * 4 + 2] = 0;
      out[col * 4 + 3] = 255;
    }
    const int64_t sy = int64_t{crop.top} + row;
    if (sy < 0 || sy >= picture.height) continue;
    const uint8_t* luma = picture.Luma(static_cast<uint32_t>(sy));
    const uint8_t* chroma = picture.Chroma(static_cast<uint32_t>(sy) / 2);
    int64_t pair = -1;
    int32_t red = 0, green = 0, blue = 0;
    for (uint32_t col = first; col < last; ++col) {
      const auto x = static_cast<uint32_t>(int64_t{crop.left} + col);
      if (x / 2 != pair) {  // two neighbouring pixels share one chroma sample
        pair = x / 2;
        const int32_t cb = chroma[pair * 2] - 128;
        const int32_t cr = chroma[pair * 2 + 1] - 128;
        red = m.crR * cr;
        green = m.cbG * cb + m.crG * cr;
        blue = m.cbB * cb;
      }
      const int32_t y = m.y * (luma[x] - 16);
      uint8_t* p = out + size_t{col} * 4;
      p[0] = Channel(y + blue);
      p[1] = Channel(y + green);
      p[2] = Channel(y + red);
    }
  }
}

void BlendPremultiplied(const BgraImage& image, int32_t x, int32_t y, BgraImage& target) {
  const int64_t firstRow = std::max<int64_t>(0, -int64_t{y});
  const int64_t lastRow = std::min<int64_t>(image.height, int64_t{target.height} - y);
  const int64_t firstCol = std::max<int64_t>(0, -int64_t{x});
  const int64_t lastCol = std::min<int64_t>(image.width, int64_t{target.width} - x);
  for (int64_t row = firstRow; row < lastRow; ++row) {
    const uint8_t* src = image.Row(static_cast<uint32_t>(row)) + firstCol * 4;
    uint8_t* dst = target.Row(static_cast<uint32_t>(row + y)) + (firstCol + x) * 4;
    for (int64_t col = firstCol; col < lastCol; ++col, src += 4, dst += 4) {
      const uint32_t keep = 255u - src[3];
      for (int c = 0; c < 4; ++c) dst[c] = static_cast<uint8_t>(std::min(255u, src[c] + (dst[c] * keep + 127) / 255));
    }
  }
}

void Premultiply(BgraImage& image) {
  for (size_t i = 0; i + 3 < image.pixels.size(); i += 4) {
    const uint32_t alpha = image.pixels[i + 3];
    for (size_t c = 0; c < 3; ++c) image.pixels[i + c] = static_cast<uint8_t>((image.pixels[i + c] * alpha + 127) / 255);
  }
}

}  // namespace kp
