// The Linux build's video decoding for export: the input's first video
// stream decoded by libavcodec into a CPU NV12 frame (Nv12Frame), which the
// source hands out where the Windows source hands out a decoded texture.
// Decoded 4:2:0 pictures (planar or NV12) of odd size lose their last
// column or row; other pixel formats fail the read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "export/export_media.h"
#include "export/ffmpeg_input.h"
#include "video/nv12_frame.h"

namespace kp {

// The object handed out as the device of the Linux export chain: the CPU.
struct CpuVideoDevice {};

class FfmpegVideoSource : public VideoSource {
 public:
  ~FfmpegVideoSource() override;

  // Opens the first video stream of `input`; false, with "export: no
  // decoder for this video" when there is no decoder for it.
  bool Open(const std::wstring& input);

  GpuDevice* Device() override { return reinterpret_cast<GpuDevice*>(&device_); }
  void Seek(int64_t time) override;
  ReadStatus Read(DecodedPicture* picture) override;

 private:
  bool CopyPicture();

  FfmpegInput input_;
  CpuVideoDevice device_;
  uint32_t avIndex_ = 0;
  AVFrame* frame_ = nullptr;
  Nv12Frame picture_;
};

}  // namespace kp
