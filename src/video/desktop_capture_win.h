// Desktop duplication capture of one monitor on the pipeline's D3D11 device.
// Polled once per output frame and never blocking, it keeps the last desktop
// image in its own capture texture, recovers by itself from lost
// duplications, and bridges the wait for the first duplicated image with a
// GDI snapshot (the decisions live in CapturePoller). Pipeline thread only.
#pragma once

#include <d3d11.h>
#include <dxgi1_6.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <string>

#include "engine/pipeline_config.h"
#include "engine/video_chain.h"
#include "video/capture_poller.h"

namespace kp {

// The output the monitor setting means and the adapter that drives it.
struct FoundOutput {
  Microsoft::WRL::ComPtr<IDXGIAdapter1> adapter;
  Microsoft::WRL::ComPtr<IDXGIOutput1> output;
};

// Walks the adapters and their desktop-attached outputs for `monitor`
// ("primary", empty, or an output device name; an unknown name means the
// primary monitor). False when no output qualifies or DXGI is unavailable.
bool FindOutput(const std::wstring& monitor, FoundOutput* found);

class DesktopCapture : private DuplicationBackend {
 public:
  DesktopCapture();
  ~DesktopCapture() override;
  DesktopCapture(const DesktopCapture&) = delete;
  DesktopCapture& operator=(const DesktopCapture&) = delete;

  // Binds the capture to `device` and the monitor of `config`, then tries
  // the first duplication (a failure there is retried by AcquireFrame). False
  // only when the device's adapter cannot be identified.
  bool Open(ID3D11Device* device, const PipelineConfig& config);

  CaptureStatus AcquireFrame() { return poller_.Poll(); }

  // The last desktop image, or null while there is none, and how it is
  // turned against the upright desktop.
  ID3D11Texture2D* CaptureTexture() const { return poller_.HaveFrame() ? captureTexture_.Get() : nullptr; }
  ImageRotation FrameRotation() const { return poller_.FrameRotation(); }
  int32_t OriginX() const { return poller_.Output().left; }
  int32_t OriginY() const { return poller_.Output().top; }
  int32_t Recoveries() const { return poller_.Recoveries(); }

 private:
  bool DeviceRemoved() override;
  DuplicationOpen OpenDuplication(DuplicatedOutput* output) override;
  bool HasDuplication() const override { return duplication_ != nullptr; }
  void ReleaseDuplication() override;
  uint32_t AcquireNextFrame(bool* desktopChanged) override;
  bool CopyFrame() override;
  void ReleaseFrame() override;
  bool SnapshotDesktop(const DuplicatedOutput& output) override;
  bool QueryPointer(PointerPosition* position) override;

  // Makes the capture texture width x height of `format`, keeping the
  // current one when it already matches.
  bool EnsureCaptureTexture(UINT width, UINT height, DXGI_FORMAT format);

  Microsoft::WRL::ComPtr<ID3D11Device> device_;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context_;
  Microsoft::WRL::ComPtr<IDXGIOutputDuplication> duplication_;
  Microsoft::WRL::ComPtr<IDXGIResource> heldFrame_;  // between AcquireNextFrame and ReleaseFrame
  Microsoft::WRL::ComPtr<ID3D11Texture2D> captureTexture_;
  std::wstring monitor_;
  LUID adapterLuid_{};
  CapturePoller poller_;
};

}  // namespace kp
