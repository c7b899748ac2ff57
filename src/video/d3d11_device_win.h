// Small questions asked of a D3D11 device by the encoders.
#pragma once

#include <d3d11.h>
#include <dxgi.h>

namespace kp {

// The description of the DXGI adapter the device runs on (vendor id, LUID,
// name). False when the device does not reveal its adapter.
bool GetAdapterDescription(ID3D11Device* device, DXGI_ADAPTER_DESC* description);

}  // namespace kp
