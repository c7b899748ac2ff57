// The Linux build's audio decoding for export: one audio stream decoded by
// libavcodec and converted by libswresample to interleaved 16-bit stereo at
// 48 kHz, whatever the stream's rate, sample format and channel layout.
// Block times are those of the source samples that start each block (the
// resampler's delay taken out).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "export/export_media.h"
#include "export/ffmpeg_input.h"

struct SwrContext;

namespace kp {

class FfmpegAudioTrackReader : public AudioTrackReader {
 public:
  ~FfmpegAudioTrackReader() override;

  // Opens the stream the reader numbers `streamIndex` (see ffmpeg_input.h);
  // false when it is not an audio stream or has no decoder.
  bool Open(const std::wstring& input, uint32_t streamIndex);

  bool SelectPcm48kStereo() override;
  void Seek(int64_t time) override;
  ReadStatus Read(PcmBlock* block) override;

 private:
  FfmpegInput input_;
  AVCodecContext* decoder_ = nullptr;
  uint32_t avIndex_ = 0;
  AVFrame* frame_ = nullptr;
  SwrContext* resampler_ = nullptr;
  std::vector<int16_t> pcm_;
  int64_t nextTime_ = 0;  // where a block without a time stamp goes
};

}  // namespace kp
