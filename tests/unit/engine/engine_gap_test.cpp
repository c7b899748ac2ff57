// Recording with a pause in it, on a clock that moves in lockstep with the
// engine's threads (so frames are never skipped): a save while paused, and a
// clip across the pause with a flash and a tone burst on each side of it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "audio/tone_audio_device.h"
#include "engine/engine.h"
#include "fake_video_chain.h"
#include "support/lockstep_clock.h"
#include "support/log_capture.h"
#include "support/mp4_box_reader.h"
#include "support/temp_folder.h"
#include "unit/audio/fake_aac_codec.h"

namespace kp {
namespace {

using namespace std::chrono_literals;

constexpr int64_t kSec = kTicksPerSecond;
constexpr int kFps = 30;
constexpr uint64_t kFrameSlot = 90'000 / kFps;  // at the video timescale
constexpr int64_t kStimulus = 400 * kTicksPerMillisecond;

class EngineGapTest : public ::testing::Test {
 protected:
  EngineGapTest() {
    // A picture marks a flash with its first byte; a keyframe every 2 s.
    factory.encode = [this](test::FrameCall call, int64_t pts, int64_t duration, PacketList& packets) {
      // 30 ms of real time per simulated second: the test's polling stops
      // recording within a few frames of when it means to.
      std::this_thread::sleep_for(1ms);
      auto packet = std::make_shared<EncodedPacket>();
      packet->pts = pts;
      packet->duration = duration;
      packet->keyframe = call.frame % (2 * kFps) == 0;
      packet->data.assign(100, 0);
      for (const ToneWindow& flash : stimuli) packet->data[0] |= flash.Contains(pts) ? 1 : 0;
      packets.push_back(std::move(packet));
      return true;
    };
    factory.createDevice = [this](int) {
      Joined();
      return true;
    };
    factory.spsTag = [](int) -> uint8_t { return 0x42; };  // every capture run encodes alike
    settings.bufferFolder = temp.File(L"buffer");
    settings.folder = temp.File(L"clips");
    settings.fps = kFps;
    settings.microphone.enabled = false;
    settings.tracks = "mixed";
  }

  std::unique_ptr<Engine> MakeEngine() {
    EngineEnvironment environment;
    environment.chains = &factory;
    environment.clock = &clock;
    // The desktop tone sounds only with the flashes, at the same moments.
    environment.audio.deviceFactory = [this](AudioSourceKind kind, Clock& c) {
      ToneScript script = ToneAudioDevice::DefaultScript(kind);
      script.burstOrigin = 0;
      script.bursts = stimuli;
      return std::make_unique<ToneAudioDevice>(kind, c, script);
    };
    environment.audio.onMixerThreadStart = [this] { Joined(); };
    environment.audio.codecFactory = test::FakeCodecFactory({}, std::make_shared<test::FakeCodecRecord>());
    environment.localTime = [] { return LocalTime{2026, 12, 7, 9, 5, 3, 0}; };
    return std::make_unique<Engine>(
        [this](const Engine::SaveResult& result) {
          std::lock_guard<std::mutex> lock(mutex);
          results.push_back(result);
        },
        std::move(environment));
  }

  // Starts recording (`start` calls the engine) with time held until both
  // the pipeline thread, before it reads its start time, and the mixer
  // thread take part: either alone would run ahead of the other.
  void Record(const std::function<void()>& start) {
    clock.Hold(true);
    start();
  }
  void Joined() {
    clock.SleepMs(0);
    if (++joined % 2 == 0) clock.Hold(false);
  }

  // Real-time polling until the simulated clock has reached `at`.
  void RunUntil(int64_t at) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (clock.Now() < at && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_GE(clock.Now(), at) << "the simulated clock stands still";
  }

  // Asks for a save and waits (on real time: the save thread does not take
  // part in the lockstep) for its result.
  Engine::SaveResult Save(Engine& engine) {
    const size_t before = Results().size();
    EXPECT_TRUE(engine.RequestSave());
    for (int i = 0; i < 10'000 && Results().size() == before; ++i) std::this_thread::sleep_for(1ms);
    const std::vector<Engine::SaveResult> all = Results();
    EXPECT_EQ(all.size(), before + 1);
    return all.size() == before + 1 ? all.back() : Engine::SaveResult{};
  }
  std::vector<Engine::SaveResult> Results() {
    std::lock_guard<std::mutex> lock(mutex);
    return results;
  }

  test::TempFolder temp;
  test::LockstepClock clock;
  test::FakeChainFactory factory;
  Settings settings;
  std::vector<ToneWindow> stimuli;  // changed only while nothing records
  std::atomic<int> joined{0};       // pipeline and mixer threads, two per recording run
  test::LogCapture log;
  std::mutex mutex;
  std::vector<Engine::SaveResult> results;
};

// Start times of the samples of a track, in seconds of the file's time line.
std::vector<double> SampleTimes(const test::Mp4Track& track) {
  double t = track.elst.empty() ? 0.0 : static_cast<double>(track.elst[0]) / 1000.0;
  std::vector<double> times;
  for (uint64_t d : track.Durations()) {
    times.push_back(t);
    t += static_cast<double>(d) / static_cast<double>(track["timescale"]);
  }
  return times;
}

// Where the flashes begin: the first marked picture of each run.
std::vector<double> FlashOnsets(const test::Mp4Parsed& clip) {
  const test::Mp4Track& video = clip.tracks[0];
  const std::vector<double> times = SampleTimes(video);
  std::vector<double> onsets;
  bool before = false;
  for (size_t i = 0; i < times.size(); ++i) {
    const bool flash = clip.file.bytes()[video.offsets[i]] != 0;
    if (flash && !before) onsets.push_back(times[i]);
    before = flash;
  }
  return onsets;
}

// Where the bursts begin: the first loud frame after 50 ms of quiet. The fake
// codec's payload is the block's 16-bit stereo PCM.
std::vector<double> BurstOnsets(const test::Mp4Parsed& clip) {
  const test::Mp4Track& audio = clip.tracks[1];
  const std::vector<double> times = SampleTimes(audio);
  std::vector<double> onsets;
  double lastLoud = -1.0;
  for (size_t i = 0; i < times.size(); ++i) {
    for (uint64_t k = 0; k < audio.sizes[i] / 4; ++k) {
      int16_t left;
      std::memcpy(&left, clip.file.bytes().data() + audio.offsets[i] + k * 4, 2);
      const double t = times[i] + static_cast<double>(k) / 48'000.0;
      if (left > 3000 || left < -3000) {
        if (lastLoud < 0 || t - lastLoud > 0.05) onsets.push_back(t);
        lastLoud = t;
      }
    }
  }
  return onsets;
}

// One recording: 15 s, ten minutes paused, 4 s more. The status keeps up
// with it; a save while paused holds the window before the pause; a save
// after it leaves the pause out and keeps sound and picture in sync.
TEST_F(EngineGapTest, APauseIsLeftOutOfTheStatusAndOfEveryClip) {
  settings.bufferSeconds = 10;
  auto engine = MakeEngine();
  const int64_t start = clock.Now();
  stimuli.push_back({start + 13'500 * kTicksPerMillisecond, kStimulus});
  Record([&] { engine->ApplySettings(settings); });

  // The status keeps up with the recording, a save's worth within 0.5 s, at
  // the tray's next refresh. The writer collects its queue on real time
  // (every 100 ms) while this clock runs faster: held, it lets the writer
  // catch up as real time would.
  RunUntil(start + 5 * kSec);
  clock.Hold(true);
  std::this_thread::sleep_for(300ms);
  const double recorded = static_cast<double>(clock.Now() - start) / 1e7;
  EXPECT_GE(engine->GetStatus().bufferedSeconds, recorded - 0.5);
  clock.Hold(false);

  RunUntil(start + 15 * kSec);
  engine->SetReplayEnabled(false);
  clock.Advance(600 * kSec);
  // The tray's "last m:ss" at its next refresh, once the writer has gone idle.
  std::this_thread::sleep_for(300ms);
  const double offered = engine->GetStatus().bufferedSeconds;
  const Engine::SaveResult paused = Save(*engine);
  ASSERT_TRUE(paused.ok);
  EXPECT_GE(paused.duration, 10.0);
  EXPECT_LE(paused.duration, 12.0);
  EXPECT_NEAR(offered, paused.duration, 0.5);
  test::Mp4Parsed clip;
  ASSERT_TRUE(test::ReadMp4(paused.path, &clip));
  ASSERT_EQ(clip.tracks.size(), 2u);
  EXPECT_EQ(clip.tracks[0].stss.front(), 1u);  // from a keyframe
  const double fileSeconds = static_cast<double>(clip.tracks[0]["mediaDuration"]) / 90'000.0;
  EXPECT_NEAR(fileSeconds, paused.duration, 1.0 / kFps);

  const int64_t resumed = clock.Now();
  stimuli.push_back({resumed + 1'500 * kTicksPerMillisecond, kStimulus});
  Record([&] { engine->SetReplayEnabled(true); });
  RunUntil(resumed + 4 * kSec);
  const Engine::SaveResult saved = Save(*engine);
  engine->Shutdown();
  ASSERT_TRUE(saved.ok);
  EXPECT_GE(saved.duration, 10.0);
  EXPECT_LE(saved.duration, 12.0);
  ASSERT_TRUE(test::ReadMp4(saved.path, &clip));
  ASSERT_EQ(clip.tracks.size(), 2u);
  const std::vector<uint64_t> durations = clip.tracks[0].Durations();
  EXPECT_LE(*std::max_element(durations.begin(), durations.end()), 2 * kFrameSlot);  // no frozen frame
  const std::vector<double> flashes = FlashOnsets(clip), bursts = BurstOnsets(clip);
  ASSERT_EQ(flashes.size(), 2u);
  ASSERT_EQ(bursts.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_NEAR(bursts[i], flashes[i], 1.0 / kFps + 1024.0 / 48'000.0) << "stimulus " << i;
  }
}

}  // namespace
}  // namespace kp
