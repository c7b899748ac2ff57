// A scripted media system for export tests: a 6 s 64x48 source with a
// picture every 1/30 s up to `pictureEnd`, audio streams of constant PCM (every
// sample 1,000, in blocks of 1,024 frames), an edit processor that hands the
// stand-in H.264 encoder a CPU NV12 frame, and a record of the pictures the
// export processed.
#pragma once

#include <memory>
#include <vector>

#include "export/export_media.h"

namespace kp::test {

struct ScriptedAudioStream {
  uint32_t index = 1;
  int64_t endsAt = -1;  // source time where the stream stops; -1: with the pictures
  bool refusesPcm = false;
};

struct ScriptedSource {
  int64_t pictureEnd = 60'000'000;
  std::vector<ScriptedAudioStream> audio;
  std::vector<bool> adapterWorks = {true};  // one entry per adapter
  bool processorFails = false;
  int64_t failDecodeAt = -1;  // Read fails at the first picture at or after this time
  bool readable = true;       // false: the input cannot be described at all
};

class ScriptedExportMedia : public ExportMedia {
 public:
  explicit ScriptedExportMedia(ScriptedSource source) : source_(std::move(source)) {}

  bool Start() override { return true; }
  std::optional<SourceDescription> Describe(const std::wstring& input) override;
  size_t AdapterCount() override { return source_.adapterWorks.size(); }
  std::unique_ptr<VideoSource> OpenVideoSource(size_t adapter, const std::wstring& input) override;
  std::unique_ptr<EditFrameProcessor> CreateEditFrameProcessor() override;
  std::unique_ptr<AudioTrackReader> OpenAudioTrack(const std::wstring& input, uint32_t streamIndex) override;

  std::vector<int64_t> processedTimes;  // source times handed to the processor

 private:
  ScriptedSource source_;
};

}  // namespace kp::test
