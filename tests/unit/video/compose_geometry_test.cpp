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
      {"same size", 1920, 1080, 1920, 1080, {0, 0, 1920, 1080}},
      {"16:10 into 16:9 is pillarboxed", 1920, 1200, 1920, 1080, {96, 0, 1824, 1080}},
      {"portrait into landscape", 1080, 1920, 1920, 1080, {656, 0, 1262, 1080}},
      {"ultrawide into 16:9 is letterboxed", 3440, 1440, 1920, 1080, {0, 138, 1920, 940}},
      {"4:3 into 16:9", 1024, 768, 1280, 720, {160, 0, 1120, 720}},
      {"odd source width", 1921, 1080, 1920, 1080, {0, 0, 1920, 1078}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PixelRect r = DestinationRect(c.w, c.h, c.W, c.H);
    EXPECT_EQ(r, c.expected);
    EXPECT_EQ(r.left % 2, 0);
    EXPECT_EQ(r.top % 2, 0);
    EXPECT_EQ(r.Width() % 2, 0);
    EXPECT_EQ(r.Height() % 2, 0);
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
      {"inside", 100, 50, 0, 0, 0, 0, true, 100, 50},
      {"hot spot shifts the image", 100, 50, 4, 9, 0, 0, true, 96, 41},
      {"second monitor origin", 2000, 100, 0, 0, 1920, 0, true, 80, 100},
      {"monitor left of the primary", -1000, 10, 0, 0, -1920, 0, true, 920, 10},
      {"256 off the left", -256, 10, 0, 0, 0, 0, true, -256, 10},
      {"257 off the left", -257, 10, 0, 0, 0, 0, false, 0, 0},
      {"256 off the top", 10, -256, 0, 0, 0, 0, true, 10, -256},
      {"257 off the top", 10, -257, 0, 0, 0, 0, false, 0, 0},
      {"at the right edge", 1920, 10, 0, 0, 0, 0, false, 0, 0},
      {"last column", 1919, 10, 0, 0, 0, 0, true, 1919, 10},
      {"at the bottom edge", 10, 1080, 0, 0, 0, 0, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CursorPlacement p = PlaceCursor(c.screenX, c.screenY, c.hotX, c.hotY, c.originX, c.originY, 1920, 1080);
    EXPECT_EQ(p.draw, c.draw);
    if (c.draw) {
      EXPECT_EQ(p.x, c.x);
      EXPECT_EQ(p.y, c.y);
    }
  }
}

TEST(CursorHotspotCacheTest, ClearsWhenMoreThan256ShapesAreHeld) {
  CursorHotspotCache cache;
  for (uintptr_t h = 1; h <= 257; ++h) cache.Add(h, {static_cast<int32_t>(h), 1});
  EXPECT_EQ(cache.size(), 257u);
  ASSERT_NE(cache.Find(7), nullptr);
  EXPECT_EQ(cache.Find(7)->x, 7);
  cache.Add(7, {70, 1});  // a known handle is replaced, and the cache is full
  EXPECT_EQ(cache.size(), 1u);
  cache.Add(1000, {1, 2});
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(cache.Find(7)->x, 70);
  EXPECT_EQ(cache.Find(8), nullptr);
}

}  // namespace
}  // namespace kp
