// A scripted video chain for the pipeline loop tests: every call is
// answered by a hook of the factory (shared by all chains it makes), and
// every chain records what the loop asked of it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/video_chain.h"

namespace kp::test {

struct FakeChainFactory;

// What one call of a hook sees: which chain (0 = first built) and which
// frame of that chain (0 = its first AcquireFrame).
struct FrameCall {
  int chain = 0;
  int64_t frame = 0;
};

class FakeVideoChain : public VideoChain {
 public:
  FakeVideoChain(FakeChainFactory& factory, int index) : factory_(factory), index_(index) {}
  ~FakeVideoChain() override;

  bool FindOutput(const std::wstring& monitor, OutputDescription* output) override;
  bool CreateDevice() override;
  bool OpenCapture(const PipelineConfig&) override { return true; }
  bool InitializeComposer(uint32_t width, uint32_t height, uint32_t fps) override;
  bool CreateEncoder(int32_t choice, const EncoderConfig& config) override;
  CaptureStatus AcquireFrame() override;
  bool Compose(bool showCursor) override;
  bool Encode(int64_t pts, int64_t duration, PacketList& packets) override;
  const VideoTrackInfo& TrackInfo() const override { return track_; }
  int32_t CaptureRecoveries() const override;

 private:
  FrameCall Call() const { return {index_, frames_ - 1}; }
  FakeChainFactory& factory_;
  int index_;
  int64_t frames_ = 0;  // AcquireFrame calls on this chain
  VideoTrackInfo track_;
};

struct FakeChainFactory : VideoChainFactory {
  // Build steps; chain index in.
  std::function<bool(int)> findOutput = [](int) { return true; };
  std::function<bool(int)> createDevice = [](int) { return true; };
  std::function<OutputDescription(int)> outputFor = [](int) { return OutputDescription{L"Fake GPU", 0, 0, 1920, 1080}; };
  // Frame calls.
  std::function<CaptureStatus(FrameCall)> acquire = [](FrameCall) { return CaptureStatus::NewFrame; };
  std::function<bool(FrameCall)> compose = [](FrameCall) { return true; };
  // Default: one 100-byte packet per frame, a keyframe every 60.
  std::function<bool(FrameCall, int64_t, int64_t, PacketList&)> encode;
  std::function<int32_t(int)> recoveries = [](int) { return 0; };
  // Byte 1 of a chain's SPS: by default the chain's index, so that every new
  // chain is a parameter change; a real encoder repeats its SPS for the same
  // settings.
  std::function<uint8_t(int)> spsTag = [](int chain) { return static_cast<uint8_t>(chain); };
  bool returnNoChain = false;

  std::unique_ptr<VideoChain> CreateChain() override;
  void EnterPipelineThread() override { ++threadEnters; }
  void LeavePipelineThread() override { ++threadLeaves; }

  // Records.
  int chainsCreated = 0;
  int chainsDestroyed = 0;
  int threadEnters = 0;
  int threadLeaves = 0;
  std::vector<EncoderConfig> encoderConfigs;
  std::vector<uint32_t> composerSizes;  // width, height pairs
  std::vector<bool> showCursorSeen;
};

}  // namespace kp::test
