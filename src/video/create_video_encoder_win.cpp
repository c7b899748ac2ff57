// The Windows encoders behind the portable selection: NVENC and the Media
// Foundation hardware transform, chosen by the GPU's vendor.
#include <optional>

#include "video/d3d11_device_win.h"
#include "video/encoder_selection.h"
#include "video/mf_encoder_win.h"
#include "video/nvenc_encoder_win.h"

namespace kp {

std::unique_ptr<VideoEncoder> CreateVideoEncoder(EncoderChoice choice, GpuDevice* device, GpuTexture* input,
                                                 const EncoderConfig& config) {
  std::optional<uint32_t> vendorId;
  DXGI_ADAPTER_DESC description{};
  if (GetAdapterDescription(reinterpret_cast<ID3D11Device*>(device), &description)) {
    vendorId = description.VendorId;
  }
  const EncoderMaker make = [](EncoderKind kind) -> std::unique_ptr<VideoEncoder> {
    if (kind == EncoderKind::Nvenc) return std::make_unique<NvencEncoder>();
    return std::make_unique<MfEncoder>();
  };
  return OpenVideoEncoder(choice, vendorId, device, input, config, make);
}

}  // namespace kp
