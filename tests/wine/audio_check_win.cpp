// Runs the Windows audio edges on a real Win32 API (Wine in CI). Wine
// registers no AAC encoder transform, so the pipeline must log that once per
// track, produce no packets, and otherwise keep running: the sources keep
// their threads (capturing when Wine offers an endpoint, retrying quietly
// when it does not), the mixer keeps cutting blocks, and stopping is clean.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "app/log.h"
#include "audio/aac_encoder.h"
#include "audio/audio_pipeline.h"
#include "audio/media_thread_scope.h"
#include "platform/clock.h"
#include "win_check.h"

namespace {

using namespace kp;

struct Lines {
  std::mutex mutex;
  std::vector<std::string> lines;

  static void Observe(const char* message, void* context) {
    auto* self = static_cast<Lines*>(context);
    std::lock_guard lock(self->mutex);
    self->lines.emplace_back(message);
  }
  int CountStartingWith(const std::string& prefix) {
    std::lock_guard lock(mutex);
    int count = 0;
    for (const auto& line : lines) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
  }
  bool Has(const std::string& text) { return CountStartingWith(text) > 0; }
};

void CheckEncoderWithoutTransform(Lines& log) {
  MediaThreadScope scope;
  AacEncoder encoder;
  KP_CHECK(!encoder.Initialize(160));
  KP_CHECK(log.CountStartingWith("aac: encoder unavailable (hr=0x") == 1);
  std::vector<int16_t> pcm(2048, 1000);
  AudioPacketList packets;
  encoder.Encode(pcm.data(), 1024, 0, packets);
  encoder.Flush(packets);
  KP_CHECK(packets.empty());
  KP_CHECK(log.CountStartingWith("aac: ProcessInput failed") == 0);
}

void CheckPipelineWithoutTransform(Lines& log) {
  AudioConfig config;
  config.microphoneEnabled = true;  // both sources, "mixed+separate": three tracks
  AudioPipeline pipeline(config);
  KP_CHECK(pipeline.TrackInfos().size() == 3);

  std::atomic<int> packets{0};
  const int64_t before = static_cast<int64_t>(MonotonicNow());
  pipeline.Start([&](int, std::shared_ptr<const EncodedPacket>) { ++packets; });
  KP_CHECK(pipeline.Running());
  ::Sleep(1500);
  const int64_t blocks = pipeline.BlocksMixed();
  pipeline.Stop();
  KP_CHECK(!pipeline.Running());

  KP_CHECK(packets.load() == 0);
  // 1.3 s past the 200 ms lag is about 60 blocks; the mixer was not held up.
  KP_CHECK(blocks >= 40);
  KP_CHECK(log.Has("audio: 3 track(s) at 160 kbps AAC"));
  KP_CHECK(log.CountStartingWith("aac: encoder unavailable (hr=0x") == 1 + 3);
  KP_CHECK(log.CountStartingWith("aac: ProcessInput failed") == 0);
  KP_CHECK(log.CountStartingWith("audio: mixer fell") == 0);
  KP_CHECK(pipeline.Origin() >= before);

  // Nothing else was disturbed: the clock and a second run behave.
  KP_CHECK(static_cast<int64_t>(MonotonicNow()) - before >= 15'000'000);
  pipeline.Start([&](int, std::shared_ptr<const EncodedPacket>) { ++packets; });
  ::Sleep(400);
  pipeline.Stop();
  KP_CHECK(packets.load() == 0);
  KP_CHECK(log.CountStartingWith("aac: encoder unavailable (hr=0x") == 1 + 6);
}

}  // namespace

int wmain() {
  Lines log;
  SetLogObserver(&Lines::Observe, &log);
  CheckEncoderWithoutTransform(log);
  CheckPipelineWithoutTransform(log);
  SetLogObserver(nullptr, nullptr);
  {
    std::lock_guard lock(log.mutex);
    for (const auto& line : log.lines) std::printf("  log: %s\n", line.c_str());
  }
  return kp::wintest::Finish();
}
