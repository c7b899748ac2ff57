#include "media/packet.h"

#include <gtest/gtest.h>

#include <functional>

namespace kp {
namespace {

TEST(ToTimescaleTest, RoundsHalfUpAndTruncatesTowardZero) {
  const std::tuple<int64_t, uint32_t, int64_t> cases[] = {
      {10'000'000, 90000, 90000},
      {5'000, 1000, 1},  // exactly half a unit goes up
      {4'999, 1000, 0},
      {-15'000, 1000, -1},
      {-14'999, 1000, 0},  // toward zero, not down
      {864'000'000'000, 48000, 4'147'200'000},  // a day at 48 kHz stays exact
  };
  for (const auto& [ticks, timescale, expected] : cases) {
    EXPECT_EQ(ToTimescale(ticks, timescale), expected) << ticks << " @ " << timescale;
  }
}

// fps alone is not a change of parameters; every other field is.
TEST(TrackInfoEqualityTest, ComparesEveryFieldButFps) {
  const VideoTrackInfo video{0, 1280, 720, 30, {0x67, 0x64, 0x00, 0x1F}, {0x68, 0xEB}};
  VideoTrackInfo other = video;
  other.fps = 60;
  EXPECT_TRUE(video == other);
  const std::pair<const char*, std::function<void(VideoTrackInfo&)>> videoChanges[] = {
      {"kind", [](VideoTrackInfo& v) { v.kind = 1; }},     {"width", [](VideoTrackInfo& v) { v.width = 1282; }},
      {"height", [](VideoTrackInfo& v) { v.height = 722; }}, {"sps", [](VideoTrackInfo& v) { v.sps[3] = 0x20; }},
      {"pps", [](VideoTrackInfo& v) { v.pps.clear(); }},
  };
  for (const auto& [name, change] : videoChanges) {
    VideoTrackInfo changed = video;
    change(changed);
    EXPECT_FALSE(video == changed) << name;
  }
  const AudioTrackInfo audio{"Desktop", 48000, 2, {0x11, 0x90}};
  EXPECT_TRUE(audio == AudioTrackInfo(audio));
  const std::pair<const char*, std::function<void(AudioTrackInfo&)>> audioChanges[] = {
      {"name case", [](AudioTrackInfo& a) { a.name = "desktop"; }},
      {"rate", [](AudioTrackInfo& a) { a.sampleRate = 44100; }},
      {"channels", [](AudioTrackInfo& a) { a.channels = 1; }},
      {"config", [](AudioTrackInfo& a) { a.audioSpecificConfig[1] = 0x88; }},
  };
  for (const auto& [name, change] : audioChanges) {
    AudioTrackInfo changed = audio;
    change(changed);
    EXPECT_FALSE(audio == changed) << name;
  }
}

}  // namespace
}  // namespace kp
