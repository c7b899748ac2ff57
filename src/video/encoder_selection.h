// Choosing and opening the H.264 encoder for a device: the NVIDIA encoder on
// NVIDIA GPUs (or when asked for), the Windows hardware encoder otherwise or
// as the fallback. The decision itself is portable; the Windows build binds
// it to the real encoders in CreateVideoEncoder.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "video/encoder_choice.h"
#include "video/video_encoder.h"

namespace kp {

inline constexpr uint32_t kNvidiaVendorId = 0x10DE;

enum class EncoderKind : int32_t {
  Nvenc = 0,
  MediaFoundation = 1,
};

// Makes a fresh, not yet initialized encoder of one kind.
using EncoderMaker = std::function<std::unique_ptr<VideoEncoder>(EncoderKind)>;

// Opens the encoder `choice` asks for on a GPU of vendor `vendorId` (empty
// when the adapter could not be asked): for Nvenc, or for Auto on an NVIDIA
// adapter, NVENC first; then, unless the choice is Nvenc, Media Foundation.
// Each candidate is made with `make`, initialized with (device, input,
// config) and destroyed again when that fails. Logs the NVENC fallback (Auto
// only), then "encoder: <name>" or that no encoder could be opened; returns
// null in the latter case.
std::unique_ptr<VideoEncoder> OpenVideoEncoder(EncoderChoice choice, std::optional<uint32_t> vendorId,
                                               GpuDevice* device, GpuTexture* input, const EncoderConfig& config,
                                               const EncoderMaker& make);

// The one way an encoder comes into being in the product: asks the device
// for its adapter's vendor and runs OpenVideoEncoder with the NVENC and
// Media Foundation encoders. The Linux build has no hardware encoders and
// opens its lossless stand-in the same way, for an unknown vendor.
std::unique_ptr<VideoEncoder> CreateVideoEncoder(EncoderChoice choice, GpuDevice* device, GpuTexture* input,
                                                 const EncoderConfig& config);

}  // namespace kp
