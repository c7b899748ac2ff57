#include "app/record_command.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "app/log.h"
#include "app/record_interrupt.h"
#include "app/record_output.h"
#include "config/settings.h"
#include "engine/pipeline.h"
#include "engine/pipeline_config.h"
#include "engine/pipeline_state.h"
#include "export/video_spill.h"
#include "media/mp4_writer.h"
#include "platform/clock.h"

namespace kp {

int64_t RecordEndTime(int64_t start, double seconds) {
  const double ticks = seconds * static_cast<double>(kTicksPerSecond);
  const double room = static_cast<double>(std::numeric_limits<int64_t>::max() - start);
  if (!(ticks < room)) return std::numeric_limits<int64_t>::max();
  return start + static_cast<int64_t>(ticks);
}

namespace {

// The recorded stream as one MP4 video track whose payload is the spill file
// as it is: the packets lie in it in decode order, end to end.
bool WriteRecording(const std::wstring& outputPath, const VideoTrackInfo& info, VideoSpill& spill) {
  Mp4Writer writer;
  const int track = writer.AddVideoTrack(info);
  uint64_t payloadSize = 0;
  for (const SpilledVideoPacket& p : spill.Packets()) {
    writer.AddSample(track, SampleEntry{p.pts, p.duration, p.keyframe, p.size, p.offset, nullptr});
    payloadSize += p.size;
  }
  std::vector<uint8_t> buffer;
  return writer.Write(outputPath, payloadSize, [&](const ByteSink& sink) {
    for (const SpilledVideoPacket& p : spill.Packets()) {
      if (!spill.Read(p, buffer) || !sink(buffer.data(), buffer.size())) return false;
    }
    return true;
  });
}

}  // namespace

int RunRecord(const std::wstring& settingsPath, double seconds, const std::wstring& outputPath) {
  Settings settings;
  std::string error;
  if (!LoadSettings(settingsPath, &settings, &error)) {
    std::fprintf(stderr, "settings: %s (using defaults)\n", error.c_str());
  }

  // The stream goes to a scratch file beside the output (deleted by the
  // system when it is closed, whatever happens), so memory stays flat
  // however long the record runs.
  VideoSpill spill(SystemFiles());
  if (IoStatus opened = spill.Open(outputPath + L".video.tmp"); !opened) {
    Log("mp4: cannot write next to the output (error %lu)", static_cast<unsigned long>(opened.error));
    return 1;
  }

  PipelineState state(MakePipelineConfig(settings));
  VideoTrackInfo trackInfo;
  bool haveTrack = false;
  bool spillFailed = false;
  // Set by an interrupt (Ctrl+C, SIGTERM, a closing console) or a failed
  // spill: the record ends early and writes what it has.
  std::atomic<bool> stop{false};
  const VideoPacketSink sink = [&](const VideoTrackInfo& info, std::shared_ptr<const EncodedPacket> packet) {
    if (spillFailed) return;
    if (!haveTrack) {
      trackInfo = info;
      haveTrack = true;
    }
    if (!spill.Add(*packet)) {
      Log("mp4: writing the temporary video file failed");
      spillFailed = true;
      stop = true;
    }
  };

  const RecordInterrupt interrupt(stop);
  // Without an interrupt the record ends at its end time, also when no
  // pipeline can be built (the loop then watches the clock itself).
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

  if (spillFailed) return 1;
  if (!haveTrack) {
    Log("mp4: nothing to write");
    return 1;
  }
  if (!spill.Finish()) {
    Log("mp4: writing the temporary video file failed");
    return 1;
  }
  if (!WriteRecording(outputPath, trackInfo, spill)) return 1;  // the writer has logged why
  PrintSavedLine(outputPath);
  return 0;
}

}  // namespace kp
