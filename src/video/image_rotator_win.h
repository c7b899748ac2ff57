// Turns a rotated monitor's duplicated image (delivered in the panel's own
// orientation) upright into a BGRA render target on the GPU: with a
// BGRA-to-BGRA video-processor blit and stream rotation where the driver
// offers rotation for that format, otherwise with a small shader pass whose
// source is compiled at run time by the system's D3DCompile
// (d3dcompiler_47.dll; the pass samples each upright pixel from the pixel
// that DeliveredPixel of compose_geometry.h names). Pipeline thread only.
#pragma once

#include <d3d11_1.h>
#include <windows.h>
#include <wrl/client.h>

#include "video/compose_geometry.h"

namespace kp {

class ImageRotator {
 public:
  ImageRotator() = default;
  ~ImageRotator();
  ImageRotator(const ImageRotator&) = delete;
  ImageRotator& operator=(const ImageRotator&) = delete;

  void Initialize(ID3D11Device* device, ID3D11VideoDevice* videoDevice, ID3D11VideoContext* videoContext);

  // Draws `source` (delivered, turned by `rotation`, not Identity) upright
  // into `target`, whose size is the upright size. False (logged once per
  // stage) when neither way works.
  bool Turn(ID3D11Texture2D* source, ImageRotation rotation, ID3D11Texture2D* target,
            ID3D11RenderTargetView* targetView);

 private:
  bool EnsureProcessor(const D3D11_TEXTURE2D_DESC& source, const D3D11_TEXTURE2D_DESC& target);
  bool TurnWithProcessor(ID3D11Texture2D* source, ImageRotation rotation, ID3D11Texture2D* target,
                         const D3D11_TEXTURE2D_DESC& sourceDesc, const D3D11_TEXTURE2D_DESC& targetDesc);
  bool EnsureShaders();
  bool TurnWithShader(ID3D11Texture2D* source, ImageRotation rotation, ID3D11RenderTargetView* targetView,
                      const D3D11_TEXTURE2D_DESC& sourceDesc, const D3D11_TEXTURE2D_DESC& targetDesc);

  Microsoft::WRL::ComPtr<ID3D11Device> device_;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context_;
  Microsoft::WRL::ComPtr<ID3D11VideoDevice> videoDevice_;
  Microsoft::WRL::ComPtr<ID3D11VideoContext> videoContext_;

  // The video-processor way, built for one pair of source and target sizes.
  bool processorTried_ = false;
  bool processorWorks_ = false;
  UINT processorIn_[2] = {0, 0};
  UINT processorOut_[2] = {0, 0};
  Microsoft::WRL::ComPtr<ID3D11VideoProcessorEnumerator> enumerator_;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessor> processor_;
  // The textures the views were made for (held, so a new texture can never
  // look like the old one).
  Microsoft::WRL::ComPtr<ID3D11Texture2D> viewSource_;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> viewTarget_;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessorInputView> inputView_;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessorOutputView> outputView_;

  // The shader way.
  bool shadersTried_ = false;
  HMODULE compiler_ = nullptr;
  Microsoft::WRL::ComPtr<ID3D11VertexShader> vertexShader_;
  Microsoft::WRL::ComPtr<ID3D11PixelShader> pixelShader_;
  Microsoft::WRL::ComPtr<ID3D11Buffer> mapping_;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> resourceSource_;
  Microsoft::WRL::ComPtr<ID3D11ShaderResourceView> sourceView_;
  bool failureReported_ = false;
};

}  // namespace kp
