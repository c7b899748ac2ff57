// H.264 through the hardware encoder transform that the GPU driver registers
// with Media Foundation, fed from GPU textures end to end: each frame is
// copied from the shared NV12 input into one of eight textures of our own
// (so the transform may still read it while the next frame is composed) and
// handed over as a DXGI surface buffer. Synchronous and asynchronous
// (event-driven) transforms are both supported.
#pragma once

#include <d3d11.h>
#include <mfidl.h>
#include <mftransform.h>
#include <strmif.h>
#include <wrl/client.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "video/mf_event_pump.h"
#include "video/mf_transform_search_win.h"
#include "video/video_encoder.h"

namespace kp {

class MfEncoder final : public VideoEncoder, private MfEventSource {
 public:
  // Encodes with the hardware transform of the device's adapter.
  MfEncoder();
  // Encodes with the transform `finder` supplies (tests hand in their own).
  explicit MfEncoder(MfTransformFinder finder);
  // Ends streaming, shuts the transform down and releases everything.
  ~MfEncoder() override;

  bool Initialize(GpuDevice* device, GpuTexture* input, const EncoderConfig& config) override;
  bool Encode(int64_t pts, int64_t duration, bool forceKeyframe, PacketList& packets) override;
  bool Drain(PacketList& packets) override;
  const VideoTrackInfo& TrackInfo() const override { return track_; }
  std::string Name() const override { return name_; }

 private:
  template <typename T>
  using ComPtr = Microsoft::WRL::ComPtr<T>;

  void ReadTransformAttributes();
  bool BindDevice(ID3D11Device* device);
  bool SetMediaTypes();
  bool CreateRing(ID3D11Device* device);
  // Wraps the ring texture in a sample carrying `pts` and `duration`.
  bool MakeSample(ID3D11Texture2D* texture, int64_t pts, int64_t duration, ComPtr<IMFSample>& sample);
  // Takes one finished picture from the transform into the current packet
  // list; false when none came out.
  bool CollectOneOutput();

  // MfEventSource, for the event pump of asynchronous transforms.
  MfEventPoll PollEvent() override;
  bool CollectOutput() override { return CollectOneOutput(); }

  // Points output_ at the caller's packet list for one Encode or Drain call
  // and clears it on every way out, so no pointer to it outlives the call.
  class OutputScope;

  MfTransformFinder finder_;
  EncoderConfig config_;
  VideoTrackInfo track_;
  std::string name_ = "Media Foundation encoder";
  bool started_ = false;
  bool async_ = false;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<ID3D11Texture2D> input_;
  std::array<ComPtr<ID3D11Texture2D>, 8> ring_;
  uint32_t ringNext_ = 0;
  ComPtr<IMFDXGIDeviceManager> deviceManager_;
  ComPtr<IMFTransform> transform_;
  ComPtr<IMFMediaEventGenerator> events_;
  ComPtr<ICodecAPI> codec_;
  int64_t frameDuration_ = 0;
  bool qpAccepted_ = false;
  std::unique_ptr<MfEventPump> pump_;  // asynchronous transforms; owns the pending-input count
  PacketList* output_ = nullptr;       // the caller's list, only during Encode/Drain
};

}  // namespace kp
