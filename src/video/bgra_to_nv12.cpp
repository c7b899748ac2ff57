#include "video/bgra_to_nv12.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kp {

namespace {

constexpr double kKr = 0.2126;
constexpr double kKb = 0.0722;
constexpr double kKg = 1.0 - kKr - kKb;
constexpr double kLumaScale = 219.0 / 255.0;
constexpr double kChromaScale = 224.0 / 255.0;

constexpr int32_t Fixed16(double v) { return static_cast<int32_t>(v * 65536.0 + (v >= 0 ? 0.5 : -0.5)); }

constexpr int32_t kYr = Fixed16(kKr * kLumaScale);
constexpr int32_t kYg = Fixed16(kKg * kLumaScale);
constexpr int32_t kYb = Fixed16(kKb * kLumaScale);
// The green weights are derived so that each chroma row sums to exactly 0:
// every grey maps to Cb = Cr = 128.
constexpr int32_t kCbr = Fixed16(-kKr / (2 * (1 - kKb)) * kChromaScale);
constexpr int32_t kCbb = Fixed16(0.5 * kChromaScale);
constexpr int32_t kCbg = -kCbr - kCbb;
constexpr int32_t kCrr = Fixed16(0.5 * kChromaScale);
constexpr int32_t kCrb = Fixed16(-kKb / (2 * (1 - kKr)) * kChromaScale);
constexpr int32_t kCrg = -kCrr - kCrb;

inline uint8_t Clamp(int32_t v, int32_t lo, int32_t hi) { return static_cast<uint8_t>(std::clamp(v, lo, hi)); }

inline uint8_t Luma(int32_t r, int32_t g, int32_t b) {
  return Clamp(16 + ((kYr * r + kYg * g + kYb * b + 32768) >> 16), 16, 235);
}

// r, g, b: sums of four samples.
inline uint8_t Cb4(int32_t r, int32_t g, int32_t b) {
  return Clamp(128 + ((kCbr * r + kCbg * g + kCbb * b + (1 << 17)) >> 18), 16, 240);
}
inline uint8_t Cr4(int32_t r, int32_t g, int32_t b) {
  return Clamp(128 + ((kCrr * r + kCrg * g + kCrb * b + (1 << 17)) >> 18), 16, 240);
}

// Source positions for each destination sample along one axis: the two
// neighbouring source samples and the 8-bit weight of the second.
struct Tap {
  uint32_t first = 0;
  uint32_t second = 0;
  uint32_t weight = 0;  // 0..255
};

std::vector<Tap> MakeTaps(uint32_t sourceSize, uint32_t destinationSize) {
  std::vector<Tap> taps(destinationSize);
  const int64_t last = int64_t{sourceSize - 1} << 16;
  for (uint32_t d = 0; d < destinationSize; ++d) {
    // Centre of destination sample d, in 16.16 source coordinates.
    int64_t pos = (int64_t{2 * d + 1} * sourceSize << 16) / (int64_t{2} * destinationSize) - 32768;
    pos = std::clamp<int64_t>(pos, 0, last);
    Tap& t = taps[d];
    t.first = static_cast<uint32_t>(pos >> 16);
    t.second = std::min(t.first + 1, sourceSize - 1);
    t.weight = static_cast<uint32_t>((pos >> 8) & 255);
  }
  return taps;
}

// One source row interpolated horizontally: B, G, R per destination column,
// scaled by 256.
void InterpolateRow(const uint8_t* row, const std::vector<Tap>& columns, std::vector<uint16_t>& out) {
  uint16_t* o = out.data();
  for (const Tap& t : columns) {
    const uint8_t* p0 = row + size_t{t.first} * 4;
    const uint8_t* p1 = row + size_t{t.second} * 4;
    const uint32_t w1 = t.weight;
    const uint32_t w0 = 256 - w1;
    o[0] = static_cast<uint16_t>(p0[0] * w0 + p1[0] * w1);
    o[1] = static_cast<uint16_t>(p0[1] * w0 + p1[1] * w1);
    o[2] = static_cast<uint16_t>(p0[2] * w0 + p1[2] * w1);
    o += 3;
  }
}

// Vertical blend of two interpolated rows into 8-bit B, G, R.
void BlendRows(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b, uint32_t weight,
               std::vector<uint8_t>& out) {
  const uint32_t w1 = weight;
  const uint32_t w0 = 256 - w1;
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<uint8_t>((a[i] * w0 + b[i] * w1 + 32768) >> 16);
  }
}

void PaintBlack(Nv12Frame& frame) {
  std::memset(frame.data.data(), 16, frame.LumaSize());
  std::memset(frame.data.data() + frame.LumaSize(), 128, frame.LumaSize() / 2);
}

// Converts two rows of `width` pixels (B, G, R first in each pixel of
// `Stride` bytes) into two luma rows and one chroma row: each 2x2 block gives
// four luma samples and one Cb/Cr pair from the sums of its four pixels.
template <size_t Stride>
void ConvertRowPair(const uint8_t* p0, const uint8_t* p1, uint32_t width, uint8_t* luma0, uint8_t* luma1,
                    uint8_t* chroma) {
  for (uint32_t x = 0; x < width; x += 2) {
    const uint8_t* a = p0 + size_t{x} * Stride;
    const uint8_t* b = a + Stride;
    const uint8_t* c = p1 + size_t{x} * Stride;
    const uint8_t* d = c + Stride;
    luma0[x] = Luma(a[2], a[1], a[0]);
    luma0[x + 1] = Luma(b[2], b[1], b[0]);
    luma1[x] = Luma(c[2], c[1], c[0]);
    luma1[x + 1] = Luma(d[2], d[1], d[0]);
    const int32_t sb = a[0] + b[0] + c[0] + d[0];
    const int32_t sg = a[1] + b[1] + c[1] + d[1];
    const int32_t sr = a[2] + b[2] + c[2] + d[2];
    chroma[x] = Cb4(sr, sg, sb);
    chroma[x + 1] = Cr4(sr, sg, sb);
  }
}

// Same size: no interpolation, the same arithmetic straight from the pixels.
void ConvertUnscaled(const BgraImage& source, const PixelRect& destination, Nv12Frame& frame) {
  const uint32_t left = static_cast<uint32_t>(destination.left);
  for (uint32_t sy = 0; sy < source.height; sy += 2) {
    const uint32_t y = static_cast<uint32_t>(destination.top) + sy;
    ConvertRowPair<4>(source.Row(sy), source.Row(sy + 1), source.width, frame.Luma(y) + left,
                      frame.Luma(y + 1) + left, frame.Chroma(y / 2) + left);
  }
}

}  // namespace

YCbCr RgbToYCbCr709(uint8_t r, uint8_t g, uint8_t b) {
  return {Luma(r, g, b), Cb4(4 * r, 4 * g, 4 * b), Cr4(4 * r, 4 * g, 4 * b)};
}

void ConvertToNv12(const BgraImage& source, const PixelRect& destination, Nv12Frame& frame) {
  const bool fillsFrame = destination == PixelRect{0, 0, static_cast<int32_t>(frame.width),
                                                  static_cast<int32_t>(frame.height)};
  const uint32_t dw = static_cast<uint32_t>(destination.Width());
  const uint32_t dh = static_cast<uint32_t>(destination.Height());
  const bool empty = dw == 0 || dh == 0 || source.width == 0 || source.height == 0;
  if (!fillsFrame || empty) PaintBlack(frame);
  if (empty) return;

  if (dw == source.width && dh == source.height) {
    ConvertUnscaled(source, destination, frame);
    return;
  }
  const std::vector<Tap> columns = MakeTaps(source.width, dw);
  const std::vector<Tap> rows = MakeTaps(source.height, dh);

  // Two cached horizontally interpolated source rows per output row.
  std::vector<uint16_t> cache[2] = {std::vector<uint16_t>(size_t{dw} * 3), std::vector<uint16_t>(size_t{dw} * 3)};
  int64_t cachedRow[2] = {-1, -1};
  // Makes sure `sourceRow` is cached, never evicting slot `keep`; returns its slot.
  auto ensureRow = [&](uint32_t sourceRow, int keep) -> int {
    for (int i = 0; i < 2; ++i) {
      if (cachedRow[i] == sourceRow) return i;
    }
    const int slot = keep >= 0 ? 1 - keep : (cachedRow[0] < cachedRow[1] ? 0 : 1);
    InterpolateRow(source.Row(sourceRow), columns, cache[slot]);
    cachedRow[slot] = sourceRow;
    return slot;
  };

  std::vector<uint8_t> rgb[2] = {std::vector<uint8_t>(size_t{dw} * 3), std::vector<uint8_t>(size_t{dw} * 3)};
  const uint32_t left = static_cast<uint32_t>(destination.left);
  for (uint32_t dy = 0; dy < dh; dy += 2) {
    for (uint32_t k = 0; k < 2; ++k) {
      const Tap& t = rows[dy + k];
      const int a = ensureRow(t.first, -1);
      const int b = ensureRow(t.second, a);
      BlendRows(cache[a], cache[b], t.weight, rgb[k]);
    }
    const uint32_t y = static_cast<uint32_t>(destination.top) + dy;
    ConvertRowPair<3>(rgb[0].data(), rgb[1].data(), dw, frame.Luma(y) + left, frame.Luma(y + 1) + left,
                      frame.Chroma(y / 2) + left);
  }
}

}  // namespace kp
