// Which H.264 encoder the user asked for (the "encoder" setting as the
// pipeline configuration carries it: 0 auto, 1 nvenc, 2 hardware).
#pragma once

#include <cstdint>

namespace kp {

enum class EncoderChoice : int32_t {
  Auto = 0,             // NVENC on NVIDIA GPUs, else (or on failure) Media Foundation
  Nvenc = 1,            // NVENC only, no fallback
  MediaFoundation = 2,  // the Windows hardware encoder only
};

// The choice a stored value stands for: anything other than 0 and 1 means
// the Windows hardware encoder.
inline EncoderChoice EncoderChoiceFromValue(int32_t value) {
  if (value == 0) return EncoderChoice::Auto;
  if (value == 1) return EncoderChoice::Nvenc;
  return EncoderChoice::MediaFoundation;
}

}  // namespace kp
