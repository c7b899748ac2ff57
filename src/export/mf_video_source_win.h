// The export's video decoding on one GPU: a D3D11 device on the chosen
// adapter shared with Media Foundation through a DXGI device manager, and a
// source reader that decodes the input's first video stream to NV12 on it.
// Pictures a decoder leaves in system memory go through one staging upload
// per frame. Export thread only.
#pragma once

#include <windows.h>
#include <d3d11.h>
#include <dxgi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <memory>
#include <string>

#include "export/export_media.h"

namespace kp {

class MfVideoSource : public VideoSource {
 public:
  // Null when the device, the reader or the NV12 output cannot be had
  // ("export: no decoder for this video" when the decoder refuses NV12).
  static std::unique_ptr<VideoSource> Open(IDXGIAdapter1* adapter, const std::wstring& input);

  GpuDevice* Device() override { return reinterpret_cast<GpuDevice*>(device_.Get()); }
  void Seek(int64_t time) override;
  ReadStatus Read(DecodedPicture* picture) override;

 private:
  MfVideoSource() = default;
  bool Start(IDXGIAdapter1* adapter, const std::wstring& input);
  // The picture of a sample's first buffer: the decoder's own texture, or
  // the upload of a system-memory picture.
  bool Picture(IMFSample* sample, ID3D11Texture2D** texture, uint32_t* subresource);
  ID3D11Texture2D* UploadSoftwareFrame(IMFMediaBuffer* buffer);

  Microsoft::WRL::ComPtr<ID3D11Device> device_;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context_;
  Microsoft::WRL::ComPtr<IMFDXGIDeviceManager> manager_;
  Microsoft::WRL::ComPtr<IMFSourceReader> reader_;
  uint32_t stream_ = 0;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  // Only for software-decoded input, of the size they were made for.
  Microsoft::WRL::ComPtr<ID3D11Texture2D> staging_;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> upload_;
  uint32_t uploadWidth_ = 0;
  uint32_t uploadHeight_ = 0;
  // The last sample and its texture, alive until the next Read.
  Microsoft::WRL::ComPtr<IMFSample> sample_;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> texture_;
};

}  // namespace kp
