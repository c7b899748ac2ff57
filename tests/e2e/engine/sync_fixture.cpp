// Runs the engine in process on the real clock with a shared stimulus: the
// synthetic desktop turns white and the desktop tone sounds at the same
// moments of the monotonic clock. Records at 30 fps and saves, restarts the
// video at 60 fps and saves again, then prints each clip's path on a line of
// its own for sync_test.py to judge with ffmpeg.
//
// usage: kp_sync_fixture <clip-folder> <buffer-folder>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/tone_audio_device.h"
#include "engine/engine.h"
#include "platform/text.h"
#include "video/sim_video_chain.h"

namespace {

using kp::kTicksPerMillisecond;
using kp::kTicksPerSecond;

constexpr int64_t kStimulusLength = 400 * kTicksPerMillisecond;
// One stimulus per clip, the second after the video restart.
constexpr int64_t kStimulusAt[] = {1500 * kTicksPerMillisecond, 4600 * kTicksPerMillisecond};

void SleepUntil(int64_t origin, int64_t offset) {
  const int64_t left = origin + offset - static_cast<int64_t>(kp::MonotonicNow());
  if (left > 0) std::this_thread::sleep_for(std::chrono::microseconds(left / 10));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const int64_t origin = static_cast<int64_t>(kp::MonotonicNow());

  kp::SimChainOptions video;
  video.desktop = {320, 240, 0, 0};
  for (int64_t at : kStimulusAt) video.flashes.push_back({origin + at, kStimulusLength});
  kp::SimVideoChainFactory chains(video);

  kp::EngineEnvironment environment;
  environment.chains = &chains;
  environment.audio.deviceFactory = [origin](kp::AudioSourceKind kind, kp::Clock& clock) {
    kp::ToneScript tone = kp::ToneAudioDevice::DefaultScript(kind);
    tone.frequencyHz = 1000.0;
    tone.amplitude = 0.5f;
    tone.burstOrigin = origin;
    for (int64_t at : kStimulusAt) tone.bursts.push_back({at, kStimulusLength});
    return std::make_unique<kp::ToneAudioDevice>(kind, clock, tone);
  };

  std::mutex mutex;
  std::vector<kp::Engine::SaveResult> saved;
  kp::Engine engine(
      [&](const kp::Engine::SaveResult& result) {
        std::lock_guard<std::mutex> lock(mutex);
        saved.push_back(result);
      },
      std::move(environment));

  kp::Settings settings;
  settings.folder = kp::Utf8ToWide(argv[1]);
  settings.bufferFolder = kp::Utf8ToWide(argv[2]);
  settings.bufferSeconds = 10;
  settings.fps = 30;
  settings.microphone.enabled = false;
  engine.ApplySettings(settings);

  SleepUntil(origin, kStimulusAt[0] + kStimulusLength + 700 * kTicksPerMillisecond);
  if (!engine.RequestSave()) return 1;
  SleepUntil(origin, kStimulusAt[1] - 1500 * kTicksPerMillisecond);
  settings.fps = 60;
  engine.ApplySettings(settings);  // a video restart; the buffer is kept
  SleepUntil(origin, kStimulusAt[1] + kStimulusLength + 700 * kTicksPerMillisecond);
  if (!engine.RequestSave()) return 1;
  engine.Shutdown();

  for (const kp::Engine::SaveResult& result : saved) {
    if (!result.ok) return 1;
    std::printf("%s\n", kp::WideToUtf8(result.path).c_str());
  }
  return saved.size() == 2 ? 0 : 1;
}
