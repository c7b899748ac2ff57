// The media system of the Linux build's export: clips read with libavformat
// and libavcodec (FfmpegVideoSource, FfmpegAudioTrackReader; stream order in
// ffmpeg_input.h) and edited on the CPU (CpuEditFrameProcessor). There is
// one "GPU": the CPU.
#pragma once

#include "export/export_media.h"

namespace kp {

class FfmpegExportMedia : public ExportMedia {
 public:
  bool Start() override { return true; }
  std::optional<SourceDescription> Describe(const std::wstring& input) override;
  size_t AdapterCount() override { return 1; }
  std::unique_ptr<VideoSource> OpenVideoSource(size_t adapter, const std::wstring& input) override;
  std::unique_ptr<EditFrameProcessor> CreateEditFrameProcessor() override;
  std::unique_ptr<AudioTrackReader> OpenAudioTrack(const std::wstring& input, uint32_t streamIndex) override;
};

}  // namespace kp
