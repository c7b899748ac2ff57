// The synthetic desktop and its capture: deterministic images, scripting,
// losses and recoveries.
#include "video/sim_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "video/sim_composer.h"

namespace kp {
namespace {

SimDesktopSpec SmallDesktop() { return {320, 180, 0, 0}; }

// Share of 16x16 blocks whose pixels differ between two images.
double ChangedBlockShare(const BgraImage& a, const BgraImage& b) {
  int changed = 0, total = 0;
  for (uint32_t by = 0; by < a.height; by += 16) {
    for (uint32_t bx = 0; bx < a.width; bx += 16) {
      ++total;
      bool differs = false;
      for (uint32_t y = by; y < std::min(by + 16, a.height) && !differs; ++y) {
        for (uint32_t x = bx; x < std::min(bx + 16, a.width) && !differs; ++x) {
          differs = std::memcmp(a.Row(y) + x * 4, b.Row(y) + x * 4, 4) != 0;
        }
      }
      changed += differs;
    }
  }
  return static_cast<double>(changed) / total;
}

TEST(SimCaptureTest, ImageKDependsOnlyOnK) {
  // Two captures with different scripts deliver the same image for the
  // same count of delivered images.
  SimCapture plain(SmallDesktop(), {});
  SimCapture scripted(SmallDesktop(), {CaptureStatus::Unchanged, CaptureStatus::NewFrame, CaptureStatus::Unchanged,
                                       CaptureStatus::NoFrame, CaptureStatus::NewFrame});
  std::vector<BgraImage> images;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(plain.AcquireFrame(), CaptureStatus::NewFrame);
    images.push_back(*plain.Image());
  }
  EXPECT_EQ(scripted.AcquireFrame(), CaptureStatus::NoFrame);  // nothing to keep yet
  EXPECT_EQ(scripted.Image(), nullptr);
  EXPECT_EQ(scripted.AcquireFrame(), CaptureStatus::NewFrame);
  EXPECT_EQ(scripted.Image()->pixels, images[0].pixels);
  EXPECT_EQ(scripted.AcquireFrame(), CaptureStatus::Unchanged);
  EXPECT_EQ(scripted.Image()->pixels, images[0].pixels);
  EXPECT_EQ(scripted.AcquireFrame(), CaptureStatus::NoFrame);
  EXPECT_EQ(scripted.Image(), nullptr);
  EXPECT_EQ(scripted.AcquireFrame(), CaptureStatus::NewFrame);
  EXPECT_EQ(scripted.Image()->pixels, images[1].pixels);
  EXPECT_EQ(scripted.Recoveries(), 1);  // the image came back after a loss
  EXPECT_EQ(scripted.ImagesDelivered(), 2u);

  BgraImage direct;
  SimDesktop(SmallDesktop()).Render(2, direct);
  EXPECT_EQ(direct.pixels, images[2].pixels);
}

TEST(SimCaptureTest, PartsMoveWhileMostOfTheDesktopStaysStill) {
  SimCapture capture({1920, 1080, 0, 0}, {});
  capture.AcquireFrame();
  const BgraImage first = *capture.Image();
  capture.AcquireFrame();
  const double share = ChangedBlockShare(first, *capture.Image());
  EXPECT_GT(share, 0.0);
  EXPECT_LT(share, 0.2);
}

}  // namespace
}  // namespace kp
