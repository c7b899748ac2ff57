// Placement of the desktop image and of the cursor in composed frames.
#include "video/compose_geometry.h"

#include <gtest/gtest.h>

#include "video/cursor_hotspot_cache.h"

namespace kp {
namespace {

TEST(DestinationRectTest, KeepsTheAspectRatioWithEvenEdges) {
  struct Case {
    const char* name;
    uint32_t w, h, W, H;
    PixelRect expected;
  };
  const Case cases[] = {
      {"same ratio fills the frame", 2560, 1440, 1280, 720, {0, 0, 1280, 720}},
      {"16:10 into 16:9 is pillarboxed", 1920, 1200, 1920, 1080, {96, 0, 1824, 1080}},
      {"portrait: odd bar width rounded down to even", 1080, 1920, 1920, 1080, {656, 0, 1262, 1080}},
      {"ultrawide into 16:9 is letterboxed", 3440, 1440, 1920, 1080, {0, 138, 1920, 940}},
      {"odd source width: even height", 1921, 1080, 1920, 1080, {0, 0, 1920, 1078}},
      {"empty source fills the frame", 0, 1080, 1920, 1080, {0, 0, 1920, 1080}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DestinationRect(c.w, c.h, c.W, c.H), c.expected) << c.name;
  }
}

// A 1920x1080 panel image: where the upright image's top-left and top-right
// corners come from. Rotate90 turns the delivered image clockwise.
TEST(DeliveredPixelTest, UprightCornersComeFromTheTurnedCorners) {
  struct Case {
    ImageRotation rotation;
    ImageSize upright;
    PixelPoint topLeft, topRight;
  };
  const Case cases[] = {
      {ImageRotation::Identity, {1920, 1080}, {0, 0}, {1919, 0}},
      {ImageRotation::Rotate90, {1080, 1920}, {0, 1079}, {0, 0}},
      {ImageRotation::Rotate180, {1920, 1080}, {1919, 1079}, {0, 1079}},
      {ImageRotation::Rotate270, {1080, 1920}, {1919, 0}, {1919, 1079}},
  };
  for (const Case& c : cases) {
    const ImageSize upright = UprightSize(1920, 1080, c.rotation);
    EXPECT_EQ(upright, c.upright) << static_cast<int>(c.rotation);
    EXPECT_EQ(DeliveredPixel(0, 0, 1920, 1080, c.rotation), c.topLeft) << static_cast<int>(c.rotation);
    const int32_t right = static_cast<int32_t>(upright.width) - 1;
    EXPECT_EQ(DeliveredPixel(right, 0, 1920, 1080, c.rotation), c.topRight) << static_cast<int>(c.rotation);
  }
}

TEST(PlaceCursorTest, DrawsPartlyOffTheTopLeftEdgeUpTo256Pixels) {
  struct Case {
    const char* name;
    int32_t screenX, screenY, hotX, hotY, originX, originY;
    bool draw;
    int32_t x, y;
  };
  const Case cases[] = {
      {"hot spot and output origin", 2000, 100, 4, 9, 1920, -50, true, 76, 141},
      {"256 off the left", -256, 10, 0, 0, 0, 0, true, -256, 10},
      {"257 off the left", -257, 10, 0, 0, 0, 0, false, 0, 0},
      {"256 off the top", 10, -256, 0, 0, 0, 0, true, 10, -256},
      {"257 off the top", 10, -257, 0, 0, 0, 0, false, 0, 0},
      {"last column", 1919, 10, 0, 0, 0, 0, true, 1919, 10},
      {"at the right edge", 1920, 10, 0, 0, 0, 0, false, 0, 0},
      {"last row", 10, 1079, 0, 0, 0, 0, true, 10, 1079},
      {"at the bottom edge", 10, 1080, 0, 0, 0, 0, false, 0, 0},
  };
  for (const Case& c : cases) {
    const CursorPlacement p = PlaceCursor(c.screenX, c.screenY, c.hotX, c.hotY, c.originX, c.originY, 1920, 1080);
    EXPECT_EQ(p.draw, c.draw) << c.name;
    if (c.draw) {
      EXPECT_EQ((std::pair{p.x, p.y}), (std::pair{c.x, c.y})) << c.name;
    }
  }
}

TEST(CursorHotspotCacheTest, ClearsWhenMoreThan256ShapesAreHeld) {
  CursorHotspotCache cache;
  for (uintptr_t h = 1; h <= 257; ++h) cache.Add(h, {static_cast<int32_t>(h), 1});
  EXPECT_EQ(cache.size(), 257u);
  EXPECT_EQ(cache.Find(7)->x, 7);
  cache.Add(7, {70, 1});  // the cache is over full: cleared first
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.Find(7)->x, 70);
  EXPECT_EQ(cache.Find(8), nullptr);
}

}  // namespace
}  // namespace kp
