// The media system of a build that cannot read clips yet: the export fails
// as an unreadable input, with a log line that says why.
#pragma once

#include "export/export_media.h"

namespace kp {

class UnavailableExportMedia : public ExportMedia {
 public:
  bool Start() override { return true; }
  std::optional<SourceDescription> Describe(const std::wstring& input) override;
  size_t AdapterCount() override { return 0; }
  std::unique_ptr<VideoSource> OpenVideoSource(size_t, const std::wstring&) override { return nullptr; }
  std::unique_ptr<EditFrameProcessor> CreateEditFrameProcessor() override { return nullptr; }
  std::unique_ptr<AudioTrackReader> OpenAudioTrack(const std::wstring&, uint32_t) override { return nullptr; }
};

}  // namespace kp
