// The CPU edit frame processor's pixel rules against published colours (the
// full-intensity primaries in limited-range BT.601 and BT.709 colour-bar
// tables), and premultiplied blending clipped at every edge.
#include "export/edit_pixels.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kp {
namespace {

struct Colour {
  const char* name;
  bool bt709;
  uint8_t y, cb, cr;
  uint8_t r, g, b;
};

TEST(EditPixels, ConvertsLimitedRangeColoursWithTheChosenMatrix) {
  const Colour colours[] = {
      {"black", true, 16, 128, 128, 0, 0, 0},       {"white", false, 235, 128, 128, 255, 255, 255},
      {"601 red", false, 81, 90, 240, 255, 0, 0},   {"601 green", false, 145, 54, 34, 0, 255, 0},
      {"601 blue", false, 41, 240, 110, 0, 0, 255}, {"709 red", true, 63, 102, 240, 255, 0, 0},
      {"709 green", true, 173, 42, 26, 0, 255, 0},  {"709 blue", true, 32, 240, 118, 0, 0, 255},
  };
  for (const Colour& c : colours) {
    Nv12Frame picture;
    picture.Resize(4, 4);
    std::fill(picture.data.begin(), picture.data.begin() + 16, c.y);
    for (size_t i = 16; i < picture.data.size(); i += 2) {
      picture.data[i] = c.cb;
      picture.data[i + 1] = c.cr;
    }
    BgraImage edit;
    edit.Resize(2, 2);
    ConvertNv12ToBgra(picture, SourceRect{2, 2, 4, 4}, c.bt709, edit);
    const uint8_t* p = edit.Row(1) + 4;
    EXPECT_LE(std::abs(p[2] - c.r), 3) << c.name;
    EXPECT_LE(std::abs(p[1] - c.g), 3) << c.name;
    EXPECT_LE(std::abs(p[0] - c.b), 3) << c.name;
    EXPECT_EQ(p[3], 255) << c.name;
  }
}

TEST(EditPixels, CropBeyondThePictureIsBlack) {
  Nv12Frame picture;
  picture.Resize(4, 4);
  std::fill(picture.data.begin(), picture.data.begin() + 16, uint8_t{235});
  BgraImage edit;
  edit.Resize(4, 2);
  ConvertNv12ToBgra(picture, SourceRect{2, 0, 6, 2}, true, edit);
  EXPECT_EQ(edit.Row(0)[4 + 1], 255);  // inside: white
  EXPECT_EQ(edit.Row(0)[8 + 1], 0);    // outside: black
  EXPECT_EQ(edit.Row(0)[8 + 3], 255);
}

TEST(EditPixels, BlendsPremultipliedAndClipsAtEveryEdge) {
  BgraImage image;  // 2x2, premultiplied half-transparent white
  image.Resize(2, 2);
  std::fill(image.pixels.begin(), image.pixels.end(), uint8_t{128});
  struct Case {
    int32_t x, y;
    int covered;  // pixels of the 3x3 target that change
  } cases[] = {{0, 0, 4}, {2, 2, 1}, {-1, -1, 1}, {-1, 1, 2}, {3, 0, 0}, {0, -2, 0}, {-5, 5, 0}};
  for (const Case& c : cases) {
    BgraImage target;
    target.Resize(3, 3);
    for (size_t i = 3; i < target.pixels.size(); i += 4) target.pixels[i] = 255;
    BlendPremultiplied(image, c.x, c.y, target);
    int changed = 0;
    for (size_t i = 0; i < target.pixels.size(); i += 4) {
      if (target.pixels[i] == 0) continue;
      ++changed;
      EXPECT_EQ(target.pixels[i], 128);      // 128 + 0 * 127 / 255
      EXPECT_EQ(target.pixels[i + 3], 255);  // 128 + 255 * 127 / 255
    }
    EXPECT_EQ(changed, c.covered) << c.x << "," << c.y;
  }
}

}  // namespace
}  // namespace kp
