#include "media/packet.h"

#include <gtest/gtest.h>

#include <functional>

namespace kp {
namespace {

TEST(ToTimescaleTest, RoundsHalfUpAndTruncatesTowardZero) {
  struct Case {
    int64_t ticks;
    uint32_t timescale;
    int64_t expected;
  };
  const Case cases[] = {
      {0, 90000, 0},
      {10'000'000, 90000, 90000},
      {5'000, 1000, 1},  // exactly half a unit goes up
      {4'999, 1000, 0},
      {166'833, 90000, 1501},
      {-15'000, 1000, -1},
      {-14'999, 1000, 0},  // toward zero, not down
      {864'000'000'000, 48000, 4'147'200'000},  // a day at 48 kHz stays exact
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToTimescale(c.ticks, c.timescale), c.expected) << c.ticks << " @ " << c.timescale;
  }
}

// fps alone is not a change of parameters; every other field is.
TEST(TrackInfoEqualityTest, VideoComparesEverythingButFps) {
  VideoTrackInfo base;
  base.width = 1280;
  base.height = 720;
  base.fps = 30;
  base.sps = {0x67, 0x64, 0x00, 0x1F};
  base.pps = {0x68, 0xEB};
  VideoTrackInfo other = base;
  other.fps = 60;
  EXPECT_TRUE(base == other);
  const std::pair<const char*, std::function<void(VideoTrackInfo&)>> changes[] = {
      {"kind", [](VideoTrackInfo& v) { v.kind = 1; }},   {"width", [](VideoTrackInfo& v) { v.width = 1282; }},
      {"height", [](VideoTrackInfo& v) { v.height = 722; }}, {"sps", [](VideoTrackInfo& v) { v.sps[3] = 0x20; }},
      {"pps", [](VideoTrackInfo& v) { v.pps.clear(); }},
  };
  for (const auto& [name, change] : changes) {
    VideoTrackInfo changed = base;
    change(changed);
    EXPECT_FALSE(base == changed) << name;
  }
}

TEST(TrackInfoEqualityTest, AudioComparesEveryField) {
  AudioTrackInfo base;
  base.name = "Desktop";
  base.sampleRate = 48000;
  base.channels = 2;
  base.audioSpecificConfig = {0x11, 0x90};
  EXPECT_TRUE(base == AudioTrackInfo(base));
  const std::pair<const char*, std::function<void(AudioTrackInfo&)>> changes[] = {
      {"name case", [](AudioTrackInfo& a) { a.name = "desktop"; }},
      {"rate", [](AudioTrackInfo& a) { a.sampleRate = 44100; }},
      {"channels", [](AudioTrackInfo& a) { a.channels = 1; }},
      {"config", [](AudioTrackInfo& a) { a.audioSpecificConfig[1] = 0x88; }},
  };
  for (const auto& [name, change] : changes) {
    AudioTrackInfo changed = base;
    change(changed);
    EXPECT_FALSE(base == changed) << name;
  }
}

}  // namespace
}  // namespace kp
