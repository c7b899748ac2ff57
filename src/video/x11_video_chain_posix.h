// The Linux build's real video chain: one RandR output of an X11 display
// captured through MIT-SHM, the pointer from XFixes, composed on the CPU with
// the same placement and colour rules as every composer (scaled, centred,
// black bars, BT.709 limited-range NV12), encoded by FFmpeg (VAAPI, NVENC or
// x264, by the user's choice). Used only when the display answers; the
// stand-ins run otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/video_chain.h"
#include "video/bgra_image.h"
#include "video/compose_geometry.h"
#include "video/nv12_frame.h"

namespace kp {

// True when $DISPLAY names an X server that accepts a connection now.
bool X11DisplayReachable();

class X11VideoChain : public VideoChain {
 public:
  X11VideoChain();
  ~X11VideoChain() override;

  // The monitor setting is "primary" or a RandR output name ("HDMI-1");
  // a name that matches no connected output falls back to the primary one.
  bool FindOutput(const std::wstring& monitor, OutputDescription* output) override;
  bool CreateDevice() override;
  bool OpenCapture(const PipelineConfig& config) override;
  bool InitializeComposer(uint32_t width, uint32_t height, uint32_t fps) override;
  bool CreateEncoder(int32_t choice, const EncoderConfig& config) override;

  // Every poll takes a new image. A broken connection is a lost device; an
  // output whose position or size changed (checked once a second) too, so
  // the pipeline rebuilds for the new mode.
  CaptureStatus AcquireFrame() override;
  bool Compose(bool showCursor) override;
  bool Encode(int64_t pts, int64_t duration, PacketList& packets) override;
  const VideoTrackInfo& TrackInfo() const override;
  int32_t CaptureRecoveries() const override;

 private:
  struct Connection;
  void DrawCursor();

  std::unique_ptr<Connection> x_;
  std::string outputName_;
  int32_t left_ = 0, top_ = 0;
  uint32_t width_ = 0, height_ = 0;
  int64_t nextModeCheck_ = 0;
  bool haveImage_ = false;
  bool lost_ = false;
  int32_t recoveries_ = 0;
  BgraImage compose_;
  PixelRect destination_;
  Nv12Frame output_;
  std::unique_ptr<VideoEncoder> encoder_;
  VideoTrackInfo emptyTrack_;
};

class X11VideoChainFactory : public VideoChainFactory {
 public:
  std::unique_ptr<VideoChain> CreateChain() override { return std::make_unique<X11VideoChain>(); }
};

}  // namespace kp
