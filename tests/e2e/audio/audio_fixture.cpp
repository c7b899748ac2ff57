// Records scripted tones through the real audio pipeline (tone devices, the
// mixer, FFmpeg's AAC encoder) for a few seconds of real time and writes the
// packets with the clip writer's MP4 writer, for ffprobe/ffmpeg to judge.
//
//   kp_audio_fixture <out.mp4> <seconds> <desktop 0|1> <mic 0|1> <layout>
//
// Desktop: 440 Hz at 0.3 of full scale, with its device delivering nothing
// from 1.0 s to 1.5 s. Microphone: 1 kHz at 0.3 in bursts 0.5-0.8 s and
// 1.5-1.8 s. Times count from the start of the pipeline.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_pipeline.h"
#include "audio/tone_audio_device.h"
#include "media/mp4_writer.h"
#include "platform/text.h"

namespace {

using namespace kp;

constexpr int64_t kMs = kTicksPerMillisecond;

ToneScript ScriptFor(AudioSourceKind kind) {
  ToneScript script;
  script.amplitude = 0.3f;
  if (kind == AudioSourceKind::kDesktop) {
    script.frequencyHz = 440.0;
    script.gaps = {{1'000 * kMs, 500 * kMs}};
  } else {
    script.frequencyHz = 1000.0;
    script.bursts = {{500 * kMs, 300 * kMs}, {1'500 * kMs, 300 * kMs}};
  }
  return script;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: kp_audio_fixture <out.mp4> <seconds> <desktop 0|1> <mic 0|1> <layout>\n");
    return 2;
  }
  const std::string out = argv[1];
  const double seconds = std::atof(argv[2]);
  AudioConfig config;
  config.desktopEnabled = std::atoi(argv[3]) != 0;
  config.microphoneEnabled = std::atoi(argv[4]) != 0;
  config.trackLayout = argv[5];
  config.bitrateKbps = 160;

  AudioEnvironment environment;
  environment.deviceFactory = [](AudioSourceKind kind, Clock& clock) -> std::unique_ptr<AudioDevice> {
    return std::make_unique<ToneAudioDevice>(kind, clock, ScriptFor(kind));
  };
  AudioPipeline pipeline(config, std::move(environment));

  std::mutex mutex;
  std::vector<std::vector<std::shared_ptr<const EncodedPacket>>> tracks(pipeline.TrackInfos().size());
  pipeline.Start([&](int track, std::shared_ptr<const EncodedPacket> packet) {
    std::lock_guard lock(mutex);
    tracks[static_cast<size_t>(track)].push_back(std::move(packet));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000)));
  pipeline.Stop();

  Mp4Writer writer;
  for (size_t t = 0; t < tracks.size(); ++t) {
    int index = writer.AddAudioTrack(pipeline.TrackInfos()[t]);
    for (auto& packet : tracks[t]) writer.AddSample(index, packet);
    std::printf("track %zu '%s': %zu packets, first at origin%+lld ticks\n", t, pipeline.TrackInfos()[t].name.c_str(),
                tracks[t].size(),
                tracks[t].empty() ? 0LL : static_cast<long long>(tracks[t][0]->pts - pipeline.Origin()));
  }
  if (!writer.Write(Utf8ToWide(out))) {
    std::fprintf(stderr, "kp_audio_fixture: writing %s failed\n", out.c_str());
    return 1;
  }
  return 0;
}
