// A video chain that does no device work: a 1920x1080 output, every build
// step succeeds and every frame is "captured" and "composed" at once. The
// benchmarks derive from it and decide what Encode hands out, so they
// measure the loop, the engine and the buffer rather than a codec.
#pragma once

#include <string>

#include "engine/video_chain.h"

namespace kp::bench {

class WorklessChain : public VideoChain {
 public:
  bool FindOutput(const std::wstring&, OutputDescription* output) override {
    *output = {L"workless chain", 0, 0, 1920, 1080};
    return true;
  }
  bool CreateDevice() override { return true; }
  bool OpenCapture(const PipelineConfig&) override { return true; }
  bool InitializeComposer(uint32_t, uint32_t, uint32_t) override { return true; }
  bool CreateEncoder(int32_t, const EncoderConfig& config) override {
    track_.width = config.width;
    track_.height = config.height;
    track_.fps = config.fps;
    return true;
  }
  CaptureStatus AcquireFrame() override { return CaptureStatus::NewFrame; }
  bool Compose(bool) override { return true; }
  const VideoTrackInfo& TrackInfo() const override { return track_; }
  int32_t CaptureRecoveries() const override { return 0; }

 protected:
  VideoTrackInfo track_;
};

// Makes chains of type T.
template <typename T>
class WorklessChainFactory : public VideoChainFactory {
 public:
  std::unique_ptr<VideoChain> CreateChain() override { return std::make_unique<T>(); }
};

}  // namespace kp::bench
