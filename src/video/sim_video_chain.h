// The video chain of the Linux build: the synthetic desktop's capture, the
// CPU composer and the lossless H.264 stand-in, behind the same VideoChain
// interface the Windows GPU chain implements. Test knobs are constructor
// options; the defaults are what the program runs.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/video_chain.h"
#include "video/sim_capture.h"
#include "video/sim_composer.h"
#include "video/sim_h264_encoder.h"

namespace kp {

struct SimChainOptions {
  // The primary monitor, then the machine's other outputs, in enumeration
  // order; the monitor setting chooses among them as on Windows.
  SimDesktopSpec desktop;
  std::vector<SimDesktopSpec> moreOutputs;
  // What the machine does at each capture poll, one timeline across every
  // chain the factory builds.
  std::vector<SimEvent> captureScript;
  // The clock the capture decisions run on (the system clock when null).
  Clock* captureClock = nullptr;
  // White images at these moments of `flashClock` (the system clock when null).
  std::vector<SimFlash> flashes;
  Clock* flashClock = nullptr;
  SimH264EncoderOptions encoder;
  // Adapter 0's description; adapter 1's ends in " 2".
  std::wstring adapterDescription = L"Kaptora synthetic GPU";
  bool outputPresent = true;  // false: no display output is found
  // The adapter's PCI vendor id as the encoder selection reads it (NVIDIA's
  // makes "auto" try NVENC first); empty when the adapter cannot be asked.
  std::optional<uint32_t> vendorId;
  // Which encoders open on this adapter. The stand-in encoder plays both;
  // this build has no NVENC unless a test says so.
  bool nvencAvailable = false;
  bool encoderAvailable = true;  // the Windows hardware encoder's part
};

class SimVideoChain : public VideoChain {
 public:
  SimVideoChain(SimChainOptions options, std::shared_ptr<SimMachine> machine);
  ~SimVideoChain() override;

  bool FindOutput(const std::wstring& monitor, OutputDescription* output) override;
  bool CreateDevice() override;
  bool OpenCapture(const PipelineConfig& config) override;
  bool InitializeComposer(uint32_t width, uint32_t height, uint32_t fps) override;
  bool CreateEncoder(int32_t choice, const EncoderConfig& config) override;

  CaptureStatus AcquireFrame() override;
  bool Compose(bool showCursor) override;
  bool Encode(int64_t pts, int64_t duration, PacketList& packets) override;
  const VideoTrackInfo& TrackInfo() const override;
  int32_t CaptureRecoveries() const override;

  // The frame the last Compose produced (the encoder's input).
  const Nv12Frame& ComposedFrame() const { return composer_.Output(); }
  const SimCapture* Capture() const { return capture_.get(); }

 private:
  // A device object for the encoder to be bound to; the CPU chain needs no
  // device state.
  struct Device {
    std::wstring description;
    int32_t adapter = 0;
  };

  SimChainOptions options_;
  std::shared_ptr<SimMachine> machine_;
  SimDesktopSpec output_;  // the one FindOutput chose
  int32_t adapter_ = 0;    // the adapter that drives it
  // Destroyed in reverse order: encoder, composer, capture, device.
  std::unique_ptr<Device> device_;
  std::unique_ptr<SimCapture> capture_;
  SimComposer composer_;
  std::unique_ptr<VideoEncoder> encoder_;
  VideoTrackInfo emptyTrack_;
};

class SimVideoChainFactory : public VideoChainFactory {
 public:
  explicit SimVideoChainFactory(SimChainOptions options = {});
  std::unique_ptr<VideoChain> CreateChain() override;
  int ChainsCreated() const { return chainsCreated_; }

 private:
  SimChainOptions options_;
  std::shared_ptr<SimMachine> machine_;
  std::atomic<int> chainsCreated_{0};
};

}  // namespace kp
