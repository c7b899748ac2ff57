// BT.709 limited-range conversion and the scaler.
#include "video/bgra_to_nv12.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kp {
namespace {

BgraImage Solid(uint32_t w, uint32_t h, uint8_t r, uint8_t g, uint8_t b) {
  BgraImage image;
  image.Resize(w, h);
  for (size_t i = 0; i < image.pixels.size(); i += 4) {
    image.pixels[i] = b;
    image.pixels[i + 1] = g;
    image.pixels[i + 2] = r;
    image.pixels[i + 3] = 255;
  }
  return image;
}

void SetGrey(BgraImage& image, uint32_t x, uint32_t y, uint8_t v) {
  uint8_t* p = image.Row(y) + x * 4;
  p[0] = p[1] = p[2] = v;
}

TEST(RgbToYCbCr709Test, ReferenceColours) {
  struct Case {
    const char* name;
    uint8_t r, g, b;
    YCbCr expected;
  };
  // Studio-swing BT.709 values; yellow and cyan reach the chroma limit 16.
  const Case cases[] = {
      {"black", 0, 0, 0, {16, 128, 128}},     {"white", 255, 255, 255, {235, 128, 128}},
      {"red", 255, 0, 0, {63, 102, 240}},     {"green", 0, 255, 0, {173, 42, 26}},
      {"blue", 0, 0, 255, {32, 240, 118}},    {"yellow", 255, 255, 0, {219, 16, 138}},
      {"cyan", 0, 255, 255, {188, 154, 16}},
  };
  for (const Case& c : cases) EXPECT_EQ(RgbToYCbCr709(c.r, c.g, c.b), c.expected) << c.name;
  for (int v = 0; v < 256; ++v) {
    const YCbCr grey = RgbToYCbCr709(static_cast<uint8_t>(v), static_cast<uint8_t>(v), static_cast<uint8_t>(v));
    EXPECT_EQ(grey.cb * 1000 + grey.cr, 128'128) << "grey " << v;
  }
}

TEST(ConvertToNv12Test, SolidColourFillsTheDestinationBarsAndEmptySourcesAreBlack) {
  Nv12Frame frame;
  frame.Resize(64, 32);
  ConvertToNv12(Solid(64, 32, 255, 255, 255), {0, 0, 64, 32}, frame);  // white everywhere first
  const PixelRect dest = DestinationRect(40, 40, 64, 32);
  ASSERT_EQ(dest, (PixelRect{16, 0, 48, 32}));
  ConvertToNv12(Solid(40, 40, 255, 0, 0), dest, frame);
  for (uint32_t y = 0; y < 32; ++y) {
    for (uint32_t x = 0; x < 64; ++x) {
      const bool inside = x >= 16 && x < 48;
      ASSERT_EQ(frame.Luma(y)[x], inside ? 63 : 16) << x << "," << y;
      if (y % 2 == 0) {
        ASSERT_EQ(frame.Chroma(y / 2)[x], inside ? (x % 2 ? 240 : 102) : 128) << x << "," << y;
      }
    }
  }
  BgraImage noColumns;
  noColumns.Resize(0, 32);
  ConvertToNv12(noColumns, {0, 0, 64, 32}, frame);
  EXPECT_EQ(std::count(frame.data.begin(), frame.data.begin() + 64 * 32, 16), 64 * 32) << "a source without pixels";
  EXPECT_EQ(std::count(frame.data.begin() + 64 * 32, frame.data.end(), 128), 64 * 16) << "and its chroma";
}

TEST(ConvertToNv12Test, SameSizeIsAPixelExactConversion) {
  // Columns of red, green, blue, white over two rows: luma per pixel, chroma
  // of each 2x2 block's mean colour.
  BgraImage image = Solid(8, 2, 0, 0, 0);
  for (uint32_t y = 0; y < 2; ++y) {
    image.Row(y)[0 * 4 + 2] = 255;
    image.Row(y)[1 * 4 + 1] = 255;
    image.Row(y)[2 * 4 + 0] = 255;
    SetGrey(image, 3, y, 255);
  }
  Nv12Frame frame;
  frame.Resize(8, 2);
  ConvertToNv12(image, {0, 0, 8, 2}, frame);
  for (uint32_t y = 0; y < 2; ++y) {
    EXPECT_EQ(std::vector<uint8_t>(frame.Luma(y), frame.Luma(y) + 8),
              (std::vector<uint8_t>{63, 173, 32, 235, 16, 16, 16, 16}));
  }
  // Red + green: (128, 128, 0) -> Cb 72, Cr 133; blue + white: (128, 128, 255) -> Cb 184, Cr 123.
  EXPECT_EQ(std::vector<uint8_t>(frame.Chroma(0), frame.Chroma(0) + 8),
            (std::vector<uint8_t>{72, 133, 184, 123, 128, 128, 128, 128}));
}

TEST(ConvertToNv12Test, ScalingInterpolatesWithoutBleedingAcrossEdges) {
  // Black left half, white right half, 8 wide into 4: no output pixel mixes them.
  BgraImage halves = Solid(8, 4, 0, 0, 0);
  for (uint32_t y = 0; y < 4; ++y) {
    for (uint32_t x = 4; x < 8; ++x) SetGrey(halves, x, y, 255);
  }
  Nv12Frame frame;
  frame.Resize(4, 2);
  ConvertToNv12(halves, {0, 0, 4, 2}, frame);
  EXPECT_EQ(std::vector<uint8_t>(frame.Luma(0), frame.Luma(0) + 4), (std::vector<uint8_t>{16, 16, 235, 235}));
  // Doubling two columns, grey 0 and 200, interpolates: greys 0, 50, 150, 200.
  BgraImage ramp = Solid(2, 2, 0, 0, 0);
  SetGrey(ramp, 1, 0, 200);
  SetGrey(ramp, 1, 1, 200);
  Nv12Frame wide;
  wide.Resize(4, 2);
  ConvertToNv12(ramp, {0, 0, 4, 2}, wide);
  const std::vector<uint8_t> expected = {RgbToYCbCr709(0, 0, 0).y, RgbToYCbCr709(50, 50, 50).y,
                                         RgbToYCbCr709(150, 150, 150).y, RgbToYCbCr709(200, 200, 200).y};
  EXPECT_EQ(std::vector<uint8_t>(wide.Luma(0), wide.Luma(0) + 4), expected);
}

}  // namespace
}  // namespace kp
