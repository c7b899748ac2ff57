// A scripted media system for export tests: a source of `duration` ticks
// with pictures every 1/fps (each picture's luma is a pure function of its
// index, see PictureLuma) and audio streams of constant-per-block PCM, an
// edit processor that writes CPU NV12 frames the stand-in H.264 encoder
// reads, and counters of what the export asked for.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "export/export_media.h"
#include "video/nv12_frame.h"

namespace kp::test {

struct ScriptedAudioStream {
  uint32_t index = 1;
  int16_t level = 1000;            // sample value of every frame
  uint32_t blockFrames = 1'024;
  int64_t endsAt = -1;             // source time where the stream stops; -1 never
  bool refusesPcm = false;
};

struct ScriptedSource {
  uint64_t duration = 60'000'000;  // 0: unknown (the pictures still stop at 6 s)
  int64_t pictureEnd = 60'000'000;
  uint32_t width = 64;
  uint32_t height = 48;
  uint32_t fpsNumerator = 30;
  uint32_t fpsDenominator = 1;
  uint32_t videoIndex = 0;
  std::vector<ScriptedAudioStream> audio;
  uint32_t adapters = 1;
  std::vector<bool> adapterWorks;  // per adapter; missing entries work
  bool processorFails = false;
  int64_t failDecodeAt = -1;       // Read fails at the first picture at or after this time
};

// Luma of the picture with index n (16..235).
inline uint8_t PictureLuma(int64_t n) { return static_cast<uint8_t>(16 + (n * 37) % 220); }

class ScriptedExportMedia : public ExportMedia {
 public:
  explicit ScriptedExportMedia(ScriptedSource source) : source_(std::move(source)) {}

  bool Start() override { return true; }
  std::optional<SourceDescription> Describe(const std::wstring& input) override;
  size_t AdapterCount() override { return source_.adapters; }
  std::unique_ptr<VideoSource> OpenVideoSource(size_t adapter, const std::wstring& input) override;
  std::unique_ptr<EditFrameProcessor> CreateEditFrameProcessor() override;
  std::unique_ptr<AudioTrackReader> OpenAudioTrack(const std::wstring& input, uint32_t streamIndex) override;

  // Source times of the pictures handed to the processor, in order.
  std::vector<int64_t> processedTimes;
  // Times the video reader was asked to seek to.
  std::vector<int64_t> seeks;
  // Called before every video read with the number of reads so far.
  std::function<void(int)> onVideoRead;

 private:
  ScriptedSource source_;
};

}  // namespace kp::test
