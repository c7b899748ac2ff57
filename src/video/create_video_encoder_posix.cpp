// The Linux build's encoders behind the portable selection: the lossless
// stand-in for both kinds, on a device whose vendor is unknown, so the
// choice, the fallback and their log lines are those of the Windows build.
#include <optional>

#include "video/encoder_selection.h"
#include "video/sim_h264_encoder.h"

namespace kp {

std::unique_ptr<VideoEncoder> CreateVideoEncoder(EncoderChoice choice, GpuDevice* device, GpuTexture* input,
                                                 const EncoderConfig& config) {
  const EncoderMaker make = [](EncoderKind) -> std::unique_ptr<VideoEncoder> {
    return std::make_unique<SimH264Encoder>();
  };
  return OpenVideoEncoder(choice, std::nullopt, device, input, config, make);
}

}  // namespace kp
