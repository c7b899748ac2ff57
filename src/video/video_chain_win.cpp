// The Windows build's video chain: a D3D11 device on the adapter that drives
// the chosen monitor, desktop duplication capture, the video-processor
// composer and the hardware H.264 encoder, all on that one device. The
// pipeline thread gets a multithreaded COM apartment for the encoders.
#include <d3d11_1.h>
#include <objbase.h>
#include <wrl/client.h>

#include <memory>

#include "app/log.h"
#include "engine/video_chain.h"
#include "video/desktop_capture_win.h"
#include "video/encoder_choice.h"
#include "video/encoder_selection.h"
#include "video/frame_composer_win.h"

namespace kp {

namespace {

using Microsoft::WRL::ComPtr;

class WindowsVideoChain : public VideoChain {
 public:
  ~WindowsVideoChain() override {
    // Encoder, composer, capture, device: each reads the one before it.
    encoder_.reset();
    composer_.reset();
    capture_.reset();
    device_.Reset();
  }

  bool FindOutput(const std::wstring& monitor, OutputDescription* output) override {
    if (!kp::FindOutput(monitor, &found_)) return false;
    DXGI_ADAPTER_DESC1 adapter{};
    if (SUCCEEDED(found_.adapter->GetDesc1(&adapter))) output->adapterDescription = adapter.Description;
    DXGI_OUTPUT_DESC desc{};
    if (FAILED(found_.output->GetDesc(&desc))) return false;
    output->left = desc.DesktopCoordinates.left;
    output->top = desc.DesktopCoordinates.top;
    output->right = desc.DesktopCoordinates.right;
    output->bottom = desc.DesktopCoordinates.bottom;
    return true;
  }

  bool CreateDevice() override {
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
    // The adapter is given, so the driver type must be "unknown".
    const HRESULT hr = D3D11CreateDevice(found_.adapter.Get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr,
                                         D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT, levels,
                                         2, D3D11_SDK_VERSION, device_.ReleaseAndGetAddressOf(), nullptr, nullptr);
    if (FAILED(hr)) {
      Log("d3d11: device creation failed (hr=0x%08lX)", static_cast<unsigned long>(hr));
      return false;
    }
    // The encoders may touch the device from their own threads (the
    // asynchronous transform does).
    ComPtr<ID3D10Multithread> multithread;
    if (SUCCEEDED(device_.As(&multithread))) multithread->SetMultithreadProtected(TRUE);
    return true;
  }

  bool OpenCapture(const PipelineConfig& config) override {
    capture_ = std::make_unique<DesktopCapture>();
    return capture_->Open(device_.Get(), config);
  }

  bool InitializeComposer(uint32_t width, uint32_t height, uint32_t fps) override {
    composer_ = std::make_unique<FrameComposer>();
    return composer_->Initialize(device_.Get(), width, height, fps);
  }

  bool CreateEncoder(int32_t choice, const EncoderConfig& config) override {
    encoder_ = CreateVideoEncoder(EncoderChoiceFromValue(choice), reinterpret_cast<GpuDevice*>(device_.Get()),
                                  reinterpret_cast<GpuTexture*>(composer_->OutputTexture()), config);
    return encoder_ != nullptr;
  }

  CaptureStatus AcquireFrame() override { return capture_->AcquireFrame(); }

  bool Compose(bool showCursor) override {
    return composer_->Compose(capture_->CaptureTexture(), capture_->FrameRotation(), capture_->OriginX(),
                              capture_->OriginY(), showCursor);
  }

  bool Encode(int64_t pts, int64_t duration, PacketList& packets) override {
    return encoder_->Encode(pts, duration, /*forceKeyframe=*/false, packets);
  }

  const VideoTrackInfo& TrackInfo() const override { return encoder_ ? encoder_->TrackInfo() : emptyTrack_; }

  int32_t CaptureRecoveries() const override { return capture_ ? capture_->Recoveries() : 0; }

 private:
  FoundOutput found_;
  ComPtr<ID3D11Device> device_;
  std::unique_ptr<DesktopCapture> capture_;
  std::unique_ptr<FrameComposer> composer_;
  std::unique_ptr<VideoEncoder> encoder_;
  VideoTrackInfo emptyTrack_;
};

class WindowsVideoChainFactory : public VideoChainFactory {
 public:
  void EnterPipelineThread() override {
    comInitialized_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  }
  void LeavePipelineThread() override {
    if (comInitialized_) CoUninitialize();
    comInitialized_ = false;
  }
  std::unique_ptr<VideoChain> CreateChain() override { return std::make_unique<WindowsVideoChain>(); }

 private:
  // Per thread: each pipeline run initializes its own thread.
  static thread_local bool comInitialized_;
};

thread_local bool WindowsVideoChainFactory::comInitialized_ = false;

}  // namespace

VideoChainFactory& PlatformVideoChainFactory() {
  static WindowsVideoChainFactory factory;
  return factory;
}

}  // namespace kp
