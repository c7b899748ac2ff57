// Small D3D11 helpers shared by the capture, the composer and the encoders.
#pragma once

#include <d3d11.h>
#include <dxgi.h>

namespace kp {

// The description of the DXGI adapter the device runs on (vendor id, LUID,
// name). False when the device does not reveal its adapter.
bool GetAdapterDescription(ID3D11Device* device, DXGI_ADAPTER_DESC* description);

// A single-level, single-sample GPU texture of default usage.
D3D11_TEXTURE2D_DESC TextureDescription(UINT width, UINT height, DXGI_FORMAT format, UINT bindFlags,
                                        UINT miscFlags = 0);

}  // namespace kp
