// The Linux build's real H.264 encoders, through FFmpeg's libavcodec:
// x264 in software, NVENC, and VAAPI on a DRM render node. Like the Windows
// encoders it reads one frame the caller rewrites before every Encode: here
// the Nv12Frame passed (as GpuTexture*) to Initialize. No B-frames, so
// packets come out in input order; each carries the time stamp and duration
// given to the Encode call that produced it.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "video/linux_encoder_order.h"
#include "video/nv12_frame.h"
#include "video/video_encoder.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct AVBufferRef;

namespace kp {

class FfmpegH264Encoder : public VideoEncoder {
 public:
  explicit FfmpegH264Encoder(LinuxEncoderKind kind);
  ~FfmpegH264Encoder() override;

  // `input` is an Nv12Frame* of exactly the configured size; `device` is
  // not used (the chain's CPU frames need none). Logs why it cannot open.
  bool Initialize(GpuDevice* device, GpuTexture* input, const EncoderConfig& config) override;
  bool Encode(int64_t pts, int64_t duration, bool forceKeyframe, PacketList& packets) override;
  bool Drain(PacketList& packets) override;
  const VideoTrackInfo& TrackInfo() const override { return track_; }
  std::string Name() const override;

 private:
  bool OpenHardwareFrames();
  bool Receive(PacketList& packets);

  LinuxEncoderKind kind_;
  EncoderConfig config_;
  const Nv12Frame* input_ = nullptr;
  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;       // points at the input frame's planes
  AVFrame* hwFrame_ = nullptr;     // VAAPI: the upload target
  AVBufferRef* hwDevice_ = nullptr;
  AVPacket* packet_ = nullptr;
  std::string renderNode_;
  int64_t frameIndex_ = 0;
  // Time stamp and duration of every frame sent and not yet received.
  std::deque<std::pair<int64_t, int64_t>> pending_;
  VideoTrackInfo track_;
};

}  // namespace kp
