// One audio stream of the export's input decoded by a Media Foundation
// source reader of its own, asked for 16-bit stereo PCM at 48 kHz.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

#include "export/export_media.h"

namespace kp {

class MfAudioTrackReader : public AudioTrackReader {
 public:
  // Null when no reader can be opened or the stream cannot be selected.
  static std::unique_ptr<AudioTrackReader> Open(const std::wstring& input, uint32_t streamIndex);

  bool SelectPcm48kStereo() override;
  void Seek(int64_t time) override;
  ReadStatus Read(PcmBlock* block) override;

 private:
  MfAudioTrackReader(Microsoft::WRL::ComPtr<IMFSourceReader> reader, uint32_t stream)
      : reader_(std::move(reader)), stream_(stream) {}

  Microsoft::WRL::ComPtr<IMFSourceReader> reader_;
  uint32_t stream_;
  std::vector<int16_t> frames_;  // the last block, kept until the next Read
};

}  // namespace kp
