// The CPU edit frame processor's pixel rules against published colours (the
// 75 % primaries of the limited-range BT.601 and BT.709 colour bars), and
// premultiplied blending clipped at every edge.
#include "export/edit_pixels.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kp {
namespace {

TEST(EditPixels, ConvertsWithTheChosenMatrixAndCropsBeyondThePictureToBlack) {
  const struct {
    const char* name;
    bool bt709;
    uint8_t y, cb, cr, r, g, b;
    int tolerance;
  } colours[] = {
      {"black", true, 16, 128, 128, 0, 0, 0, 0},          {"white", false, 235, 128, 128, 255, 255, 255, 0},
      {"601 75% red", false, 65, 100, 212, 191, 0, 0, 3},  {"601 75% green", false, 112, 72, 58, 0, 191, 0, 3},
      {"601 75% blue", false, 35, 212, 114, 0, 0, 191, 3}, {"709 75% red", true, 51, 109, 212, 191, 0, 0, 3},
      {"709 75% green", true, 133, 63, 52, 0, 191, 0, 3},  {"709 75% blue", true, 28, 212, 120, 0, 0, 191, 3},
  };
  for (const auto& c : colours) {
    Nv12Frame picture;
    picture.Resize(4, 2);
    std::fill(picture.data.begin(), picture.data.begin() + 8, c.y);
    for (size_t i = 8; i < picture.data.size(); i += 2) picture.data[i] = c.cb, picture.data[i + 1] = c.cr;
    // Two columns left of the picture and one row below it stay black over
    // the last picture's pixels.
    BgraImage edit;
    edit.Resize(4, 3);
    std::fill(edit.pixels.begin(), edit.pixels.end(), uint8_t{0x77});
    ConvertNv12ToBgra(picture, SourceRect{-2, 0, 2, 3}, c.bt709, edit);
    for (uint32_t i = 0; i < 12; ++i) {
      const uint8_t* p = edit.Row(i / 4) + i % 4 * 4;
      const bool inside = i % 4 >= 2 && i < 8;
      const int t = c.tolerance;
      EXPECT_TRUE(std::abs(p[2] - (inside ? c.r : 0)) <= t && std::abs(p[1] - (inside ? c.g : 0)) <= t &&
                  std::abs(p[0] - (inside ? c.b : 0)) <= t && p[3] == 255)
          << c.name << ", pixel " << i << ": got " << int(p[2]) << "," << int(p[1]) << "," << int(p[0]) << "," << int(p[3]);
    }
  }
}

TEST(EditPixels, BlendsPremultipliedAndClipsAtEveryEdge) {
  // A 2x2 image at half alpha whose pixels have blue 20, 40 / 60, 80
  // (premultiplied 10, 20 / 30, 40) over a 3x3 opaque target of blue 200:
  // covered pixels become premultiplied image + 100.
  BgraImage image;
  image.Resize(2, 2);
  for (uint32_t i = 0; i < 4; ++i) image.pixels[i * 4] = uint8_t(20 * (i + 1)), image.pixels[i * 4 + 3] = 128;
  Premultiply(image);
  const std::pair<int32_t, int32_t> corners[] = {{0, 0}, {2, 2}, {-1, -1}, {-1, 1}, {3, 0}, {0, -2}, {-5, 5}};
  for (auto [x, y] : corners) {
    BgraImage target;
    target.Resize(3, 3);
    for (size_t i = 0; i < target.pixels.size(); i += 4) target.pixels[i] = 200, target.pixels[i + 3] = 255;
    BlendPremultiplied(image, x, y, target);
    for (int32_t ty = 0; ty < 3; ++ty) {
      for (int32_t tx = 0; tx < 3; ++tx) {
        const int32_t ix = tx - x, iy = ty - y;
        const bool covered = ix >= 0 && ix < 2 && iy >= 0 && iy < 2;
        const uint8_t* p = target.Row(ty) + tx * 4;
        EXPECT_EQ(p[0], covered ? 10 * (1 + ix + 2 * iy) + 100 : 200) << "at " << x << "," << y << ": " << tx << "," << ty;
        EXPECT_EQ(p[3], 255) << "at " << x << "," << y << ": " << tx << "," << ty;
      }
    }
  }
}

}  // namespace
}  // namespace kp
