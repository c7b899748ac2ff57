// Reading an AAC stream in ADTS framing (as encoders write .aac files) into
// raw AAC access units and the track description an MP4 file needs.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kp {

struct AdtsStream {
  uint32_t sampleRate = 0;
  uint32_t channels = 0;
  // The two-byte AudioSpecificConfig: object type (profile + 1), sampling
  // frequency index, channel configuration, then three zero bits.
  std::vector<uint8_t> audioSpecificConfig;
  // Raw access units (the ADTS headers and CRCs removed), views into the
  // input, 1024 samples each.
  std::vector<std::span<const uint8_t>> frames;
};

// Reads every frame of `data`. Fails, with a short reason in `error`, on a
// lost sync word, a truncated frame, a frame holding more than one raw data
// block, a reserved or explicit sampling rate or channel configuration, or
// frames whose profile, rate or channels differ from the first frame's.
bool ReadAdtsStream(std::span<const uint8_t> data, AdtsStream* out, std::string* error);

}  // namespace kp
