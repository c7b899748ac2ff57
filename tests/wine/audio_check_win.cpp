// The Windows audio pipeline where the AAC encoder transform is missing (as
// under Wine): it logs that once per track, produces no packets and otherwise
// keeps running (the sources keep their threads, capturing when Wine offers
// an endpoint and retrying quietly when not; the mixer keeps cutting blocks),
// stops cleanly and starts again.
#include <windows.h>

#include <atomic>
#include <mutex>

#include "app/log.h"
#include "audio/audio_pipeline.h"
#include "platform/clock.h"
#include "win_check.h"

namespace {

std::mutex g_mutex;  // the sources log from their own threads

void ObserveLocked(const char* message, void*) {
  std::lock_guard lock(g_mutex);
  kp::wintest::g_lines.emplace_back(message);
}

int Count(const std::string& prefix) {
  std::lock_guard lock(g_mutex);
  int count = 0;
  for (const auto& line : kp::wintest::g_lines) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

}  // namespace

int wmain() {
  using namespace kp;
  SetLogObserver(&ObserveLocked, nullptr);
  AudioConfig config;
  config.microphoneEnabled = true;  // both sources, mixed and separate: three tracks
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
  KP_CHECK(pipeline.Origin() >= before);
  // 1.3 s past the 200 ms lag is about 60 blocks: the mixer was not held up.
  KP_CHECK(blocks >= 40);
  KP_CHECK(Count("audio: 3 track(s) at 160 kbps AAC") == 1);
  KP_CHECK(Count("aac: encoder unavailable (hr=0x") == 3);

  pipeline.Start([&](int, std::shared_ptr<const EncodedPacket>) { ++packets; });
  ::Sleep(400);
  pipeline.Stop();
  KP_CHECK(packets.load() == 0);
  KP_CHECK(Count("aac: encoder unavailable (hr=0x") == 6);
  KP_CHECK(Count("aac: ProcessInput failed") == 0 && Count("audio: mixer fell") == 0);
  SetLogObserver(nullptr, nullptr);
  for (const auto& line : wintest::g_lines) std::printf("  log: %s\n", line.c_str());
  return wintest::Finish();
}
