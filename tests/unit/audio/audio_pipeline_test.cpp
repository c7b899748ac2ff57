// The pipeline and a source with their real threads on the system clock:
// what starts, the callback's order and time stamps, and clean stops (run
// under ThreadSanitizer too).
#include "audio/audio_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "audio/audio_format.h"
#include "audio/audio_ring.h"
#include "audio/audio_source.h"
#include "audio/tone_audio_device.h"
#include "support/log_capture.h"
#include "unit/audio/fake_aac_codec.h"

namespace kp {
namespace {

using Packets = std::vector<std::pair<int, std::shared_ptr<const EncodedPacket>>>;

AudioConfig Both(const std::string& layout) {
  AudioConfig config;
  config.microphoneEnabled = true;
  config.trackLayout = layout;
  return config;
}

AudioEnvironment FakeCodecEnvironment() {
  AudioEnvironment environment;
  environment.codecFactory = test::FakeCodecFactory({}, std::make_shared<test::FakeCodecRecord>());
  return environment;
}

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return done();
}

// Runs the pipeline until `count` packets arrived, then stops it.
Packets Record(AudioPipeline& pipeline, size_t count) {
  std::mutex mutex;
  Packets packets;
  pipeline.Start([&](int track, std::shared_ptr<const EncodedPacket> packet) {
    std::lock_guard lock(mutex);
    packets.emplace_back(track, std::move(packet));
  });
  EXPECT_TRUE(pipeline.Running());
  WaitFor([&] {
    std::lock_guard lock(mutex);
    return packets.size() >= count;
  });
  pipeline.Stop();
  EXPECT_FALSE(pipeline.Running());
  const size_t atStop = packets.size();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(packets.size(), atStop) << "packets after Stop";
  return packets;
}

TEST(AudioPipelineTest, NoSourcesMeansNothingStarts) {
  test::LogCapture log;
  AudioConfig none;
  none.desktopEnabled = false;
  AudioPipeline pipeline(none);
  pipeline.Start(nullptr);
  EXPECT_FALSE(pipeline.Running());
  EXPECT_EQ(log.CountStartingWith("audio: "), 0);
}

TEST(AudioPipelineTest, RunsTracksInOrderOnTheGridAndStopsCleanly) {
  test::LogCapture log;
  AudioPipeline pipeline(Both("mixed+separate"), FakeCodecEnvironment());
  ASSERT_EQ(pipeline.TrackInfos().size(), 3u);  // known before the start
  const Packets packets = Record(pipeline, 3 * 20);
  ASSERT_GE(packets.size(), 3u * 20);
  EXPECT_EQ(packets.size() % 3, 0u);  // a block is never cut off between tracks by Stop
  EXPECT_EQ(static_cast<int64_t>(packets.size() / 3), pipeline.BlocksMixed());
  for (size_t i = 0; i < packets.size(); ++i) {
    ASSERT_EQ(packets[i].first, static_cast<int>(i % 3));
    EXPECT_EQ(packets[i].second->pts, pipeline.Origin() + FramesToTicks(static_cast<int64_t>(i / 3) * 1024));
  }
  EXPECT_TRUE(log.Has("audio: 3 track(s) at 160 kbps AAC"));
  EXPECT_TRUE(log.Has("audio: desktop capturing 'Tone 440 Hz'"));
  EXPECT_TRUE(log.Has("audio: mic capturing 'Tone 1000 Hz'"));
}

// The capture thread may stop its own source (from a device callback); the
// owner's next Start must then start a new run rather than find the ending
// one still "running".
TEST(AudioSourceTest, StopFromTheCaptureThreadDefersTheJoinAndStartRunsAgain) {
  struct CallbackDevice : ToneAudioDevice {
    using ToneAudioDevice::ToneAudioDevice;
    uint32_t ReadPackets(const std::function<void(const DevicePacket&)>& sink) override {
      ++reads;
      if (onRead) onRead();
      return ToneAudioDevice::ReadPackets(sink);
    }
    void Close() override {
      ToneAudioDevice::Close();
      ++closes;
    }
    std::atomic<int> reads{0}, closes{0};
    std::function<void()> onRead;
  };
  AudioRing ring;
  auto owned = std::make_unique<CallbackDevice>(AudioSourceKind::kDesktop, SystemClock(), ToneScript{});
  CallbackDevice* device = owned.get();
  AudioSource source(AudioSourceKind::kDesktop, L"default", 1.0f, 0, &ring, std::move(owned));
  std::atomic<int> innerResult{-1};
  device->onRead = [&] {
    if (innerResult.load() < 0) innerResult = source.Stop() ? 1 : 0;
  };
  source.Start();
  ASSERT_TRUE(WaitFor([&] { return innerResult.load() >= 0; }));
  EXPECT_EQ(innerResult.load(), 0);                                  // asked to end, not joined
  ASSERT_TRUE(WaitFor([&] { return device->closes.load() > 0; }));  // the loop ended and closed
  const int readsBefore = device->reads.load();
  source.Start();
  EXPECT_TRUE(WaitFor([&] { return device->reads.load() > readsBefore + 2; }));  // capturing again
  EXPECT_TRUE(source.Stop());
}

}  // namespace
}  // namespace kp
