// H.264 on NVIDIA GPUs through the driver's encode API (NVENC 13.1), loaded
// at run time from "nvEncodeAPI64.dll" so machines without the driver still
// start. Synchronous: every Encode returns its picture's packet. The NV12
// input texture is registered once and mapped for every picture.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "video/nvenc_api.h"
#include "video/video_encoder.h"

namespace kp {

class NvencEncoder final : public VideoEncoder {
 public:
  NvencEncoder();
  // Ends the stream, releases the bitstream buffer and the input
  // registration, closes the session and unloads the library.
  ~NvencEncoder() override;

  bool Initialize(GpuDevice* device, GpuTexture* input, const EncoderConfig& config) override;
  bool Encode(int64_t pts, int64_t duration, bool forceKeyframe, PacketList& packets) override;
  // Nothing is ever held back.
  bool Drain(PacketList& packets) override;
  const VideoTrackInfo& TrackInfo() const override { return track_; }
  std::string Name() const override { return "NVIDIA NVENC"; }

 private:
  bool LoadDriver();
  bool OpenSession(void* device);
  // The encoded size against the GPU's maximum width and height.
  bool CheckSize();
  // Logs "<label> failed (status N)" unless `status` is success.
  static bool Succeeded(nvenc::Status status, const char* label);

  HMODULE library_ = nullptr;
  nvenc::FunctionList functions_;
  void* session_ = nullptr;
  void* registeredInput_ = nullptr;
  void* bitstream_ = nullptr;
  EncoderConfig config_;
  VideoTrackInfo track_;
};

}  // namespace kp
