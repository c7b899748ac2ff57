#include "media/packet.h"

#include <gtest/gtest.h>

namespace kp {
namespace {

TEST(ToTimescaleTest, RoundsToNearestAndTruncatesTowardZero) {
  struct Case {
    int64_t ticks;
    uint32_t timescale;
    int64_t expected;
  };
  const Case cases[] = {
      {0, 90000, 0},
      {0, 1, 0},
      {10'000'000, 90000, 90000},
      {5, 1000, 0},        // 5,005,000 / 1e7
      {5'000, 1000, 1},    // exactly half a unit goes up
      {4'999, 1000, 0},
      {166'833, 90000, 1501},
      {213'333, 48000, 1024},
      {-5'000, 1000, 0},   // (-5,000,000 + 5,000,000) / 1e7
      {-15'000, 1000, -1},  // -10,000,000 / 1e7
      {-14'999, 1000, 0},   // truncates toward zero, not down
      // One hour at 90 kHz and a day at 48 kHz stay exact in 64 bits.
      {36'000'000'000, 90000, 324'000'000},
      {864'000'000'000, 48000, 4'147'200'000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToTimescale(c.ticks, c.timescale), c.expected) << c.ticks << " @ " << c.timescale;
  }
}

VideoTrackInfo Video() {
  VideoTrackInfo info;
  info.width = 1280;
  info.height = 720;
  info.fps = 30;
  info.sps = {0x67, 0x64, 0x00, 0x1F};
  info.pps = {0x68, 0xEB};
  return info;
}

TEST(TrackInfoEqualityTest, VideoComparesEverythingButFps) {
  const VideoTrackInfo base = Video();
  VideoTrackInfo other = base;
  other.fps = 60;
  EXPECT_TRUE(base == other);

  std::vector<std::pair<const char*, void (*)(VideoTrackInfo&)>> changes = {
      {"kind", [](VideoTrackInfo& v) { v.kind = 1; }},
      {"width", [](VideoTrackInfo& v) { v.width = 1282; }},
      {"height", [](VideoTrackInfo& v) { v.height = 722; }},
      {"sps byte", [](VideoTrackInfo& v) { v.sps[3] = 0x20; }},
      {"sps length", [](VideoTrackInfo& v) { v.sps.push_back(0); }},
      {"pps byte", [](VideoTrackInfo& v) { v.pps[1] = 0xEC; }},
      {"pps empty", [](VideoTrackInfo& v) { v.pps.clear(); }},
  };
  for (const auto& [name, change] : changes) {
    VideoTrackInfo changed = base;
    change(changed);
    EXPECT_FALSE(base == changed) << name;
    EXPECT_TRUE(base != changed) << name;
  }
}

AudioTrackInfo Audio(std::string name) {
  AudioTrackInfo info;
  info.name = std::move(name);
  info.sampleRate = 48000;
  info.channels = 2;
  info.audioSpecificConfig = {0x11, 0x90};
  return info;
}

TEST(TrackInfoEqualityTest, AudioListsCompareByLengthAndEveryField) {
  const std::vector<AudioTrackInfo> base = {Audio("Desktop"), Audio("Microphone")};
  EXPECT_TRUE(base == (std::vector<AudioTrackInfo>{Audio("Desktop"), Audio("Microphone")}));

  std::vector<std::pair<const char*, void (*)(std::vector<AudioTrackInfo>&)>> changes = {
      {"name", [](std::vector<AudioTrackInfo>& l) { l[1].name = "Mic"; }},
      {"name case", [](std::vector<AudioTrackInfo>& l) { l[0].name = "desktop"; }},
      {"rate", [](std::vector<AudioTrackInfo>& l) { l[0].sampleRate = 44100; }},
      {"channels", [](std::vector<AudioTrackInfo>& l) { l[1].channels = 1; }},
      {"config", [](std::vector<AudioTrackInfo>& l) { l[1].audioSpecificConfig[1] = 0x88; }},
      {"order", [](std::vector<AudioTrackInfo>& l) { std::swap(l[0], l[1]); }},
      {"shorter", [](std::vector<AudioTrackInfo>& l) { l.pop_back(); }},
  };
  for (const auto& [name, change] : changes) {
    std::vector<AudioTrackInfo> changed = base;
    change(changed);
    EXPECT_FALSE(base == changed) << name;
  }
}

}  // namespace
}  // namespace kp
