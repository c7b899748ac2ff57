// The CPU composer: black frames without an image, the cursor rule, the
// compose stage following the desktop size.
#include "video/sim_composer.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "video/bgra_to_nv12.h"

namespace kp {
namespace {

BgraImage Grey(uint32_t w, uint32_t h, uint8_t v) {
  BgraImage image;
  image.Resize(w, h);
  for (size_t i = 0; i < image.pixels.size(); i += 4) {
    image.pixels[i] = image.pixels[i + 1] = image.pixels[i + 2] = v;
    image.pixels[i + 3] = 255;
  }
  return image;
}

int CountLumaNot(const Nv12Frame& f, uint8_t value) {
  int n = 0;
  for (size_t i = 0; i < f.LumaSize(); ++i) n += f.data[i] != value;
  return n;
}

TEST(SimComposerTest, NoImageGivesBlackWithoutCursor) {
  SimComposer composer;
  ASSERT_TRUE(composer.Initialize(64, 32, 30));
  const SimCursor cursor{true, kSimArrowCursor, 10, 10};
  test::LogCapture log;
  ASSERT_TRUE(composer.Compose(nullptr, 0, 0, true, cursor));
  EXPECT_EQ(CountLumaNot(composer.Output(), 16), 0);
  for (size_t i = composer.Output().LumaSize(); i < composer.Output().data.size(); ++i) {
    ASSERT_EQ(composer.Output().data[i], 128);
  }
  EXPECT_TRUE(log.Has("composer: 64x32 -> 64x32 NV12"));
  EXPECT_EQ(composer.HotspotQueries(), 0);
}

TEST(SimComposerTest, DrawsTheCursorOnlyWhenAskedAndInPlace) {
  const BgraImage desktop = Grey(64, 64, 128);
  const uint8_t greyY = RgbToYCbCr709(128, 128, 128).y;
  SimComposer composer;
  ASSERT_TRUE(composer.Initialize(64, 64, 30));
  // The output sits at (100, 200) on the virtual desktop; the beam's hot
  // spot is (4, 9), so its image starts at (20 - 4, 30 - 9) in the output.
  const SimCursor beam{true, kSimBeamCursor, 100 + 20, 200 + 30};
  ASSERT_TRUE(composer.Compose(&desktop, 100, 200, false, beam));
  EXPECT_EQ(CountLumaNot(composer.Output(), greyY), 0);

  ASSERT_TRUE(composer.Compose(&desktop, 100, 200, true, beam));
  const Nv12Frame& f = composer.Output();
  EXPECT_NE(f.Luma(21)[16 + 4], greyY);  // top of the beam's stem
  EXPECT_EQ(f.Luma(21)[16 + 0], greyY);  // left of the serif
  EXPECT_EQ(f.Luma(20)[16 + 4], greyY);  // just above the image
  EXPECT_NE(f.Luma(21 + 17)[16 + 4], greyY);
  EXPECT_GT(CountLumaNot(f, greyY), 0);
  EXPECT_LT(CountLumaNot(f, greyY), 9 * 18);

  // Hidden, or too far off the edge: nothing drawn.
  ASSERT_TRUE(composer.Compose(&desktop, 100, 200, true, SimCursor{false, kSimBeamCursor, 120, 230}));
  EXPECT_EQ(CountLumaNot(composer.Output(), greyY), 0);
  ASSERT_TRUE(composer.Compose(&desktop, 100, 200, true, SimCursor{true, kSimArrowCursor, 100 - 257, 210}));
  EXPECT_EQ(CountLumaNot(composer.Output(), greyY), 0);
  // Partly off the left edge: the visible part is drawn.
  ASSERT_TRUE(composer.Compose(&desktop, 100, 200, true, SimCursor{true, kSimArrowCursor, 100 - 5, 210}));
  EXPECT_GT(CountLumaNot(composer.Output(), greyY), 0);
  // Each shape's hot spot was looked up once.
  EXPECT_EQ(composer.HotspotQueries(), 2);
}

TEST(SimComposerTest, DesktopSizeChangeRebuildsTheStageAndKeepsTheOutput) {
  SimComposer composer;
  ASSERT_TRUE(composer.Initialize(64, 36, 30));
  const uint8_t* frameBefore = composer.Output().data.data();
  test::LogCapture log;
  const BgraImage wide = Grey(128, 72, 255);
  const BgraImage square = Grey(40, 40, 255);
  ASSERT_TRUE(composer.Compose(&wide, 0, 0, false, {}));
  ASSERT_TRUE(composer.Compose(&wide, 0, 0, false, {}));
  EXPECT_EQ(log.CountStartingWith("composer: "), 1);
  EXPECT_EQ(CountLumaNot(composer.Output(), 235), 0);
  ASSERT_TRUE(composer.Compose(&square, 0, 0, false, {}));
  EXPECT_TRUE(log.Has("composer: 128x72 -> 64x36 NV12"));
  EXPECT_TRUE(log.Has("composer: 40x40 -> 64x36 NV12"));
  EXPECT_EQ(composer.Output().width, 64u);
  EXPECT_EQ(composer.Output().data.data(), frameBefore);
  // Pillarboxed: 36 wide from x = 14, black bars either side.
  EXPECT_EQ(composer.Output().Luma(10)[13], 16);
  EXPECT_EQ(composer.Output().Luma(10)[14], 235);
  EXPECT_EQ(composer.Output().Luma(10)[49], 235);
  EXPECT_EQ(composer.Output().Luma(10)[50], 16);
}

TEST(SimComposerTest, RejectsOddOutputSizes) {
  test::LogCapture log;
  SimComposer composer;
  EXPECT_FALSE(composer.Initialize(63, 32, 30));
  EXPECT_TRUE(log.Has("composer: failed to create NV12 output 63x32"));
  EXPECT_FALSE(composer.Compose(nullptr, 0, 0, false, {}));
}

}  // namespace
}  // namespace kp
