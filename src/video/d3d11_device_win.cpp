#include "video/d3d11_device_win.h"

#include <wrl/client.h>

namespace kp {

using Microsoft::WRL::ComPtr;

bool GetAdapterDescription(ID3D11Device* device, DXGI_ADAPTER_DESC* description) {
  if (device == nullptr) return false;
  ComPtr<IDXGIDevice> dxgiDevice;
  if (FAILED(device->QueryInterface(IID_PPV_ARGS(&dxgiDevice)))) return false;
  ComPtr<IDXGIAdapter> adapter;
  if (FAILED(dxgiDevice->GetAdapter(&adapter))) return false;
  return SUCCEEDED(adapter->GetDesc(description));
}

D3D11_TEXTURE2D_DESC TextureDescription(UINT width, UINT height, DXGI_FORMAT format, UINT bindFlags,
                                        UINT miscFlags) {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = format;
  desc.SampleDesc.Count = 1;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = bindFlags;
  desc.MiscFlags = miscFlags;
  return desc;
}

}  // namespace kp
