#include "video/video_encoder.h"

namespace kp {

void DeriveBitrates(EncoderConfig& config) {
  const uint64_t pixelRate = uint64_t{config.width} * config.height * config.fps;
  if (config.rateControl == RateControl::Vbr && config.averageBitrate == 0) {
    config.averageBitrate = static_cast<uint32_t>(pixelRate * 13 / 100);
  }
  if (config.maxBitrate == 0) {
    if (config.rateControl == RateControl::Vbr) {
      config.maxBitrate = static_cast<uint32_t>(uint64_t{config.averageBitrate / 2} * 3);
    } else {
      config.maxBitrate = static_cast<uint32_t>(pixelRate * 16 / 100);
    }
  }
}

}  // namespace kp
