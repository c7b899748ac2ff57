#include "app/record_command.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>

#include "app/record_output.h"
#include "config/settings.h"
#include "engine/pipeline.h"
#include "engine/pipeline_config.h"
#include "engine/pipeline_state.h"
#include "media/mp4_writer.h"
#include "platform/clock.h"

namespace kp {

int64_t RecordEndTime(int64_t start, double seconds) {
  const double ticks = seconds * static_cast<double>(kTicksPerSecond);
  const double room = static_cast<double>(std::numeric_limits<int64_t>::max() - start);
  if (!(ticks < room)) return std::numeric_limits<int64_t>::max();
  return start + static_cast<int64_t>(ticks);
}

int RunRecord(const std::wstring& settingsPath, double seconds, const std::wstring& outputPath) {
  Settings settings;
  std::string error;
  if (!LoadSettings(settingsPath, &settings, &error)) {
    std::fprintf(stderr, "settings: %s (using defaults)\n", error.c_str());
  }

  PipelineState state(MakePipelineConfig(settings));
  Mp4Writer writer;
  bool trackAdded = false;
  int track = -1;  // stays -1 when the writer refuses the track
  const VideoPacketSink sink = [&](const VideoTrackInfo& info, std::shared_ptr<const EncodedPacket> packet) {
    if (!trackAdded) {
      track = writer.AddVideoTrack(info);
      trackAdded = true;
    }
    writer.AddSample(track, std::move(packet));
  };

  // Nobody stops a record early; it ends at its end time, also when no
  // pipeline can be built (the loop then watches the clock itself).
  const std::atomic<bool> stop{false};
  const int64_t start = static_cast<int64_t>(MonotonicNow());
  RunPipeline(state, stop, RecordEndTime(start, seconds), sink);
  const double elapsed = static_cast<double>(static_cast<int64_t>(MonotonicNow()) - start) / 1e7;

  const long long frames = state.framesEncoded.load();
  const double safeElapsed = elapsed > 0 ? elapsed : 1e-9;
  std::printf("frames encoded    : %lld (%.2f fps)\n", frames, static_cast<double>(frames) / safeElapsed);
  std::printf("skipped / failures: %lld / %lld\n", static_cast<long long>(state.framesSkipped.load()),
              static_cast<long long>(state.frameFailures.load()));
  std::printf("avg bitrate       : %.2f Mbps\n",
              static_cast<double>(state.bytesEncoded.load()) * 8 / safeElapsed / 1e6);
  const double averageWorkMs =
      frames > 0 ? static_cast<double>(state.workTicksTotal.load()) / 10'000.0 / static_cast<double>(frames) : 0.0;
  std::printf("work per frame    : avg %.2f ms, max %.2f ms\n", averageWorkMs,
              static_cast<double>(state.workTicksMax.load()) / 10'000.0);
  std::fflush(stdout);

  if (!writer.Write(outputPath)) return 1;  // the writer has logged why
  PrintSavedLine(outputPath);
  return 0;
}

}  // namespace kp
