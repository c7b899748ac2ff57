// Where the Media Foundation encoder gets its transform: the product asks
// Media Foundation for the hardware H.264 encoders of the device's adapter;
// a test hands in a transform of its own through the same signature.
#pragma once

#include <d3d11.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <functional>
#include <string>

namespace kp {

// Puts the activated transform in `transform` and, when it has a friendly
// name, that name (UTF-8) in `name`. False, with its own log line, when there
// is none. Called once, after MFStartup.
using MfTransformFinder = std::function<bool(ID3D11Device* device, Microsoft::WRL::ComPtr<IMFTransform>& transform,
                                             std::string& name)>;

// The hardware search: MFTEnum2 over the video encoders taking NV12 and
// giving H.264 on the device's adapter (by LUID), hardware only, sorted;
// the first candidate that activates is kept.
bool FindHardwareH264Transform(ID3D11Device* device, Microsoft::WRL::ComPtr<IMFTransform>& transform,
                               std::string& name);

}  // namespace kp
