// BT.709 limited-range conversion and the scaler.
#include "video/bgra_to_nv12.h"

#include <gtest/gtest.h>

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

TEST(RgbToYCbCr709Test, ReferenceColours) {
  struct Case {
    const char* name;
    uint8_t r, g, b;
    YCbCr expected;
  };
  // Studio-swing BT.709 values of the primaries and the greys.
  const Case cases[] = {
      {"black", 0, 0, 0, {16, 128, 128}},
      {"white", 255, 255, 255, {235, 128, 128}},
      {"grey", 128, 128, 128, {126, 128, 128}},
      {"red", 255, 0, 0, {63, 102, 240}},
      {"green", 0, 255, 0, {173, 42, 26}},
      {"blue", 0, 0, 255, {32, 240, 118}},
      {"yellow", 255, 255, 0, {219, 16, 138}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RgbToYCbCr709(c.r, c.g, c.b), c.expected);
  }
  for (int v = 0; v < 256; ++v) {
    const YCbCr grey = RgbToYCbCr709(static_cast<uint8_t>(v), static_cast<uint8_t>(v), static_cast<uint8_t>(v));
    EXPECT_EQ(grey.cb, 128) << v;
    EXPECT_EQ(grey.cr, 128) << v;
  }
}

TEST(ConvertToNv12Test, SolidColourFillsTheDestinationAndBarsAreBlack) {
  const BgraImage red = Solid(40, 40, 255, 0, 0);  // square into 64x32: pillarbox
  Nv12Frame frame;
  frame.Resize(64, 32);
  const PixelRect dest = DestinationRect(40, 40, 64, 32);
  ASSERT_EQ(dest, (PixelRect{16, 0, 48, 32}));
  ConvertToNv12(red, dest, frame);
  for (uint32_t y = 0; y < 32; ++y) {
    for (uint32_t x = 0; x < 64; ++x) {
      const bool inside = x >= 16 && x < 48;
      ASSERT_EQ(frame.Luma(y)[x], inside ? 63 : 16) << x << "," << y;
    }
  }
  for (uint32_t y = 0; y < 16; ++y) {
    for (uint32_t x = 0; x < 64; x += 2) {
      const bool inside = x >= 16 && x < 48;
      ASSERT_EQ(frame.Chroma(y)[x], inside ? 102 : 128);
      ASSERT_EQ(frame.Chroma(y)[x + 1], inside ? 240 : 128);
    }
  }
}

TEST(ConvertToNv12Test, SameSizeIsAPixelExactConversion) {
  BgraImage image;
  image.Resize(8, 4);
  for (uint32_t y = 0; y < 4; ++y) {
    for (uint32_t x = 0; x < 8; ++x) {
      uint8_t* p = image.Row(y) + x * 4;
      p[0] = static_cast<uint8_t>(x * 30);
      p[1] = static_cast<uint8_t>(y * 60);
      p[2] = static_cast<uint8_t>(255 - x * 30);
      p[3] = 255;
    }
  }
  Nv12Frame frame;
  frame.Resize(8, 4);
  ConvertToNv12(image, {0, 0, 8, 4}, frame);
  for (uint32_t y = 0; y < 4; ++y) {
    for (uint32_t x = 0; x < 8; ++x) {
      const uint8_t* p = image.Row(y) + x * 4;
      EXPECT_EQ(frame.Luma(y)[x], RgbToYCbCr709(p[2], p[1], p[0]).y) << x << "," << y;
    }
  }
  // Chroma of the first 2x2 block is that of the block's mean colour:
  // R (255, 225, 255, 225), G (0, 0, 60, 60), B (0, 30, 0, 30).
  const YCbCr block = RgbToYCbCr709(240, 30, 15);
  EXPECT_EQ(frame.Chroma(0)[0], block.cb);
  EXPECT_EQ(frame.Chroma(0)[1], block.cr);
}

TEST(ConvertToNv12Test, HalvingAveragesNeighboursAndKeepsEdges) {
  // Left half black, right half white, 8 wide into 4 wide: the two output
  // pixels of each half stay pure, none bleed across the middle.
  BgraImage image = Solid(8, 4, 0, 0, 0);
  for (uint32_t y = 0; y < 4; ++y) {
    for (uint32_t x = 4; x < 8; ++x) {
      uint8_t* p = image.Row(y) + x * 4;
      p[0] = p[1] = p[2] = 255;
    }
  }
  Nv12Frame frame;
  frame.Resize(4, 2);
  ConvertToNv12(image, {0, 0, 4, 2}, frame);
  EXPECT_EQ(frame.Luma(0)[0], 16);
  EXPECT_EQ(frame.Luma(0)[1], 16);
  EXPECT_EQ(frame.Luma(0)[2], 235);
  EXPECT_EQ(frame.Luma(0)[3], 235);
  // Doubling a two-pixel ramp interpolates between them.
  BgraImage ramp = Solid(2, 2, 0, 0, 0);
  for (uint32_t y = 0; y < 2; ++y) {
    uint8_t* p = ramp.Row(y) + 4;
    p[0] = p[1] = p[2] = 200;
  }
  Nv12Frame wide;
  wide.Resize(4, 2);
  ConvertToNv12(ramp, {0, 0, 4, 2}, wide);
  EXPECT_EQ(wide.Luma(0)[0], RgbToYCbCr709(0, 0, 0).y);
  EXPECT_EQ(wide.Luma(0)[1], RgbToYCbCr709(50, 50, 50).y);
  EXPECT_EQ(wide.Luma(0)[2], RgbToYCbCr709(150, 150, 150).y);
  EXPECT_EQ(wide.Luma(0)[3], RgbToYCbCr709(200, 200, 200).y);
}

}  // namespace
}  // namespace kp
