#include "video/encoder_selection.h"

#include "app/log.h"

namespace kp {

namespace {

std::unique_ptr<VideoEncoder> TryOpen(EncoderKind kind, GpuDevice* device, GpuTexture* input,
                                      const EncoderConfig& config, const EncoderMaker& make) {
  std::unique_ptr<VideoEncoder> encoder = make(kind);
  if (encoder == nullptr) return nullptr;
  // A failed Initialize has logged its reason; the half-open encoder is
  // destroyed here so no caller ever sees it.
  if (!encoder->Initialize(device, input, config)) return nullptr;
  return encoder;
}

}  // namespace

std::unique_ptr<VideoEncoder> OpenVideoEncoder(EncoderChoice choice, std::optional<uint32_t> vendorId,
                                               GpuDevice* device, GpuTexture* input, const EncoderConfig& config,
                                               const EncoderMaker& make) {
  std::unique_ptr<VideoEncoder> encoder;
  const bool nvidia = vendorId.has_value() && *vendorId == kNvidiaVendorId;
  if (choice == EncoderChoice::Nvenc || (choice == EncoderChoice::Auto && nvidia)) {
    encoder = TryOpen(EncoderKind::Nvenc, device, input, config, make);
    if (encoder == nullptr && choice == EncoderChoice::Auto) {
      Log("encoder: NVENC unavailable, trying the Windows hardware encoder");
    }
  }
  if (encoder == nullptr && choice != EncoderChoice::Nvenc) {
    encoder = TryOpen(EncoderKind::MediaFoundation, device, input, config, make);
  }
  if (encoder == nullptr) {
    Log("encoder: no usable H.264 encoder on this GPU");
    return nullptr;
  }
  Log("encoder: %s", encoder->Name().c_str());
  return encoder;
}

}  // namespace kp
