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

}  // namespace kp
