// The pipeline and a source with their real threads on the system clock:
// what starts, the callback's order and time stamps, and clean stops (run
// under ThreadSanitizer too).
#include "audio/audio_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
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

using test::FakeCodecFactory;
using test::FakeCodecRecord;
using test::LogCapture;

AudioConfig Both(const std::string& layout) {
  AudioConfig config;
  config.microphoneEnabled = true;
  config.trackLayout = layout;
  return config;
}

struct Collected {
  std::mutex mutex;
  std::vector<std::pair<int, std::shared_ptr<const EncodedPacket>>> packets;
  AudioPacketSink Sink() {
    return [this](int track, std::shared_ptr<const EncodedPacket> packet) {
      std::lock_guard lock(mutex);
      packets.emplace_back(track, std::move(packet));
    };
  }
  size_t Size() {
    std::lock_guard lock(mutex);
    return packets.size();
  }
};

AudioEnvironment FakeCodecEnvironment(std::shared_ptr<FakeCodecRecord> record) {
  AudioEnvironment environment;
  environment.codecFactory = FakeCodecFactory({}, std::move(record));
  return environment;
}

TEST(AudioPipelineTest, NoSourcesMeansNothingStarts) {
  LogCapture log;
  AudioConfig none;
  none.desktopEnabled = false;
  AudioPipeline pipeline(none);
  bool called = false;
  pipeline.Start([&](int, std::shared_ptr<const EncodedPacket>) { called = true; });
  EXPECT_FALSE(pipeline.Running());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  pipeline.Stop();
  EXPECT_FALSE(called);
  EXPECT_EQ(log.CountStartingWith("audio: "), 0);
}

TEST(AudioPipelineTest, RunsTracksInOrderOnTheGridAndStopsCleanly) {
  LogCapture log;
  auto record = std::make_shared<FakeCodecRecord>();
  AudioPipeline pipeline(Both("mixed+separate"), FakeCodecEnvironment(record));
  ASSERT_EQ(pipeline.TrackInfos().size(), 3u);  // known before the start
  EXPECT_EQ(pipeline.TrackInfos()[0].name, "Desktop + Microphone");
  EXPECT_FALSE(pipeline.Running());
  Collected collected;
  pipeline.Start(collected.Sink());
  EXPECT_TRUE(pipeline.Running());
  // 200 ms of lag, then about 47 blocks per second.
  for (int i = 0; i < 200 && collected.Size() < 3 * 20; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  pipeline.Stop();
  EXPECT_FALSE(pipeline.Running());
  const size_t count = collected.Size();
  ASSERT_GE(count, 3u * 20);
  EXPECT_EQ(count % 3, 0u);  // a block is never cut off between tracks by Stop
  EXPECT_EQ(static_cast<int64_t>(count / 3), pipeline.BlocksMixed());

  const int64_t origin = pipeline.Origin();
  std::vector<int64_t> next(3, 0);
  for (size_t i = 0; i < count; ++i) {
    auto& [track, packet] = collected.packets[i];
    ASSERT_EQ(track, static_cast<int>(i % 3));
    EXPECT_EQ(packet->pts, origin + FramesToTicks(next[track] * 1024));
    ++next[track];
  }
  EXPECT_TRUE(log.Has("audio: 3 track(s) at 160 kbps AAC"));
  EXPECT_TRUE(log.Has("audio: desktop capturing 'Tone 440 Hz'"));
  EXPECT_TRUE(log.Has("audio: mic capturing 'Tone 1000 Hz'"));

  // Nothing arrives after Stop.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(collected.Size(), count);
}

TEST(AudioPipelineTest, RestartBeginsANewClockAndMixesRealSignal) {
  auto record = std::make_shared<FakeCodecRecord>();
  AudioPipeline pipeline(Both("separate"), FakeCodecEnvironment(record));
  Collected first;
  pipeline.Start(first.Sink());
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  pipeline.Stop();
  const int64_t firstOrigin = pipeline.Origin();

  Collected second;
  pipeline.Start(second.Sink());
  for (int i = 0; i < 200 && second.Size() < 2 * 20; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  pipeline.Stop();
  EXPECT_GT(pipeline.Origin(), firstOrigin);
  ASSERT_GE(second.Size(), 2u * 20);
  EXPECT_EQ(second.packets[0].second->pts, pipeline.Origin());

  // The desktop's 440 Hz and the microphone's 1 kHz arrive on their tracks:
  // count zero crossings of the last packets of each track.
  std::vector<int> crossings(2, 0);
  std::vector<int> blocks(2, 0);
  for (size_t i = second.Size() - 10; i < second.Size(); ++i) {
    auto& [track, packet] = second.packets[i];
    const auto* pcm = reinterpret_cast<const int16_t*>(packet->data.data());
    for (size_t f = 1; f < 1024; ++f) crossings[track] += (pcm[(f - 1) * 2] < 0) != (pcm[f * 2] < 0);
    ++blocks[track];
  }
  for (int track = 0; track < 2; ++track) {
    double seconds = blocks[track] * 1024.0 / 48'000.0;
    double hz = crossings[track] / 2.0 / seconds;
    EXPECT_NEAR(hz, track == 0 ? 440.0 : 1000.0, 40.0) << track;
  }
}

TEST(AudioPipelineTest, MixerThreadHooksRunOnTheMixerThread) {
  std::thread::id startId, endId;
  AudioEnvironment environment = FakeCodecEnvironment(std::make_shared<FakeCodecRecord>());
  environment.onMixerThreadStart = [&] { startId = std::this_thread::get_id(); };
  environment.onMixerThreadEnd = [&] { endId = std::this_thread::get_id(); };
  {
    AudioPipeline pipeline(AudioConfig{}, std::move(environment));
    pipeline.Start(nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }  // destruction stops
  EXPECT_NE(startId, std::thread::id());
  EXPECT_EQ(startId, endId);
  EXPECT_NE(startId, std::this_thread::get_id());
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
    std::atomic<int> reads{0};
    std::atomic<int> closes{0};
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
  auto waitFor = [](const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
  };
  source.Start();
  ASSERT_TRUE(waitFor([&] { return innerResult.load() >= 0; }));
  EXPECT_EQ(innerResult.load(), 0);  // asked to end, not joined
  ASSERT_TRUE(waitFor([&] { return device->closes.load() > 0; }));  // the loop ended and closed
  const int readsBefore = device->reads.load();
  source.Start();
  EXPECT_TRUE(waitFor([&] { return device->reads.load() > readsBefore + 2; }));  // capturing again
  EXPECT_TRUE(source.Stop());
}

}  // namespace
}  // namespace kp
