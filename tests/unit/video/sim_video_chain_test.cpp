// The Linux chain over the synthetic machine: rotated monitors come out
// upright, and a timeline of a lock screen, a move to another adapter and a
// stalled duplication runs through the pipeline's real decisions.
#include "video/sim_video_chain.h"

#include <gtest/gtest.h>

#include <atomic>

#include "engine/pipeline.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "video/bgra_to_nv12.h"

namespace kp {
namespace {

// The upright desktop (48x32) of a monitor turned each way gives the frame
// its upright picture would give, with the output size taken from it.
TEST(SimVideoChainRotationTest, RotatedMonitorsComposeUpright) {
  for (const ImageRotation rotation :
       {ImageRotation::Identity, ImageRotation::Rotate90, ImageRotation::Rotate180, ImageRotation::Rotate270}) {
    SCOPED_TRACE(static_cast<int>(rotation));
    SimChainOptions options;
    options.desktop = {48, 32, 0, 0, rotation};
    SimVideoChain chain(options, std::make_shared<SimMachine>());
    OutputDescription output;
    ASSERT_TRUE(chain.FindOutput(L"primary", &output) && chain.CreateDevice() && chain.OpenCapture(PipelineConfig{}));
    ASSERT_TRUE(chain.InitializeComposer(48, 32, 30));
    EXPECT_EQ(chain.AcquireFrame(), CaptureStatus::NewFrame);
    // Delivered in the panel's orientation.
    const bool sideways = rotation == ImageRotation::Rotate90 || rotation == ImageRotation::Rotate270;
    EXPECT_EQ(chain.Capture()->Image()->width, sideways ? 32u : 48u);
    ASSERT_TRUE(chain.Compose(/*showCursor=*/false));

    BgraImage upright;
    SimDesktop(options.desktop).Render(0, upright);
    Nv12Frame expected;
    expected.Resize(48, 32);
    ConvertToNv12(upright, {0, 0, 48, 32}, expected);
    EXPECT_EQ(chain.ComposedFrame().data, expected.data);
  }
}

struct Timeline {
  test::FakeClock clock;
  SimChainOptions options;
  test::LogCapture log;
  std::vector<int64_t> pts;
};

// At 10 fps: 5 images, a lock screen of 8 s (the last image for 5 s, then
// a cut until it ends), the output moving to the other adapter (rebuilt
// there, no rebuild counted), then a duplication that stays silent while
// the pointer moves (opened again after 5 s).
TEST(SimVideoChainTimelineTest, LockMoveAndStallTakeTheCaptureDecisions) {
  Timeline t;
  t.options.desktop = {64, 48, 0, 0};
  t.options.captureClock = &t.clock;
  auto add = [&](SimEvent event, int count) { t.options.captureScript.insert(t.options.captureScript.end(), count, event); };
  add(SimEvent::Image, 5);
  add(SimEvent::Locked, 80);
  add(SimEvent::Image, 20);
  add(SimEvent::MovedAdapter, 1);
  add(SimEvent::Image, 20);
  add(SimEvent::Silent, 60);
  SimVideoChainFactory factory(t.options);
  PipelineConfig config;
  config.fps = 10;
  PipelineState state(config, factory, t.clock);
  const std::atomic<bool> stop{false};
  const int64_t start = t.clock.Now();
  RunPipeline(state, stop, start + 25 * kTicksPerSecond,
              [&](const VideoTrackInfo&, std::shared_ptr<const EncodedPacket> p) { t.pts.push_back(p->pts - start); });

  // One cut: from 5 s after the lock began (0.5 s) until the screen is back.
  std::vector<int64_t> cuts;
  for (size_t i = 1; i < t.pts.size(); ++i) {
    if (t.pts[i] - t.pts[i - 1] > kTicksPerSecond / 10) cuts.push_back(t.pts[i - 1]);
  }
  ASSERT_EQ(cuts.size(), 1u);
  EXPECT_EQ(cuts[0], 54 * kTicksPerSecond / 10) << "the last slot before the cut";
  EXPECT_EQ((std::vector<int64_t>{state.framesSkipped, state.frameFailures, state.rebuilds, state.recoveries}),
            (std::vector<int64_t>{0, 0, 0, 2}));
  EXPECT_EQ(factory.ChainsCreated(), 2);
  EXPECT_TRUE(t.log.Has("pipeline: gpu Kaptora synthetic GPU 2"));
  EXPECT_EQ(t.log.CountStartingWith("capture: monitor moved to another GPU"), 1);
  EXPECT_EQ(t.log.CountStartingWith("capture: no update from duplication for 5 s while the pointer moves"), 1);
  EXPECT_EQ(t.log.CountStartingWith("capture: lost (access lost, hr=0x887A0026)"), 2);
}

}  // namespace
}  // namespace kp
