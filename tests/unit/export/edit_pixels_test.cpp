// The CPU edit frame processor's pixel rules against published colours (the
// 75 % primaries of the limited-range BT.601 and BT.709 colour bars), and
// premultiplied blending clipped at every edge.
#include "export/edit_pixels.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kp {
namespace {

TEST(EditPixels, ConvertsLimitedRangeColoursWithTheChosenMatrix) {
  const struct {
    const char* name;
    bool bt709;
    uint8_t y, cb, cr, r, g, b;
  } colours[] = {
      {"black", true, 16, 128, 128, 0, 0, 0},           {"white", false, 235, 128, 128, 255, 255, 255},
      {"601 75% red", false, 65, 100, 212, 191, 0, 0},   {"601 75% green", false, 112, 72, 58, 0, 191, 0},
      {"601 75% blue", false, 35, 212, 114, 0, 0, 191},  {"709 75% red", true, 51, 109, 212, 191, 0, 0},
      {"709 75% green", true, 133, 63, 52, 0, 191, 0},  {"709 75% blue", true, 28, 212, 120, 0, 0, 191},
  };
  for (const auto& c : colours) {
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
    EXPECT_TRUE(std::abs(p[2] - c.r) <= 3 && std::abs(p[1] - c.g) <= 3 && std::abs(p[0] - c.b) <= 3 && p[3] == 255)
        << c.name << ": got " << int(p[2]) << "," << int(p[1]) << "," << int(p[0]) << "," << int(p[3]);
  }
}

TEST(EditPixels, CropBeyondThePictureIsBlack) {
  Nv12Frame picture;
  picture.Resize(4, 4);
  std::fill(picture.data.begin(), picture.data.begin() + 16, uint8_t{235});
  BgraImage edit;
  edit.Resize(4, 2);
  std::fill(edit.pixels.begin(), edit.pixels.end(), uint8_t{0x77});  // the last picture's pixels
  ConvertNv12ToBgra(picture, SourceRect{2, 0, 6, 2}, true, edit);
  for (uint32_t row = 0; row < 2; ++row) {
    const uint8_t* p = edit.Row(row);
    EXPECT_EQ((std::vector<int>{p[1], p[5], p[8], p[9], p[10], p[13], p[15]}),
              (std::vector<int>{255, 255, 0, 0, 0, 0, 255}))
        << row;
  }
}

TEST(EditPixels, BlendsPremultipliedAndClipsAtEveryEdge) {
  // A 2x2 image at half alpha whose pixels have blue 10, 20 / 30, 40 over a
  // 3x3 opaque target of blue 200: covered pixels become image + 100.
  BgraImage image;
  image.Resize(2, 2);
  for (uint32_t i = 0; i < 4; ++i) image.pixels[i * 4] = uint8_t(10 * (i + 1)), image.pixels[i * 4 + 3] = 128;
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
