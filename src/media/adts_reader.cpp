#include "media/adts_reader.h"

#include <utility>

namespace kp {

namespace {

constexpr uint32_t kSampleRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                       22050, 16000, 12000, 11025, 8000,  7350};

}  // namespace

bool ReadAdtsStream(std::span<const uint8_t> data, AdtsStream* out, std::string* error) {
  AdtsStream stream;
  uint32_t profile = 0, rateIndex = 0, channelConfig = 0;
  size_t pos = 0;
  while (pos < data.size()) {
    const size_t left = data.size() - pos;
    const uint8_t* h = data.data() + pos;
    if (left < 7 || h[0] != 0xFF || (h[1] & 0xF6) != 0xF0) {
      *error = "no ADTS sync word at byte " + std::to_string(pos);
      return false;
    }
    const bool hasCrc = (h[1] & 0x01) == 0;
    const uint32_t frameProfile = h[2] >> 6;
    const uint32_t frameRateIndex = (h[2] >> 2) & 0x0F;
    const uint32_t frameChannels = ((h[2] & 0x01) << 2) | (h[3] >> 6);
    const size_t frameLength = (size_t{h[3] & 0x03u} << 11) | (size_t{h[4]} << 3) | (h[5] >> 5);
    const uint32_t rawBlocks = h[6] & 0x03;
    const size_t headerLength = hasCrc ? 9 : 7;
    if (frameLength <= headerLength || frameLength > left) {
      *error = "truncated ADTS frame at byte " + std::to_string(pos);
      return false;
    }
    if (rawBlocks != 0) {
      *error = "ADTS frames with several raw data blocks are not supported";
      return false;
    }
    if (frameRateIndex >= 13 || frameChannels == 0) {
      *error = "unsupported ADTS sampling rate or channel configuration";
      return false;
    }
    if (stream.frames.empty()) {
      profile = frameProfile;
      rateIndex = frameRateIndex;
      channelConfig = frameChannels;
    } else if (frameProfile != profile || frameRateIndex != rateIndex || frameChannels != channelConfig) {
      *error = "ADTS stream changes its format at byte " + std::to_string(pos);
      return false;
    }
    stream.frames.push_back(data.subspan(pos + headerLength, frameLength - headerLength));
    pos += frameLength;
  }
  if (stream.frames.empty()) {
    *error = "no ADTS frames";
    return false;
  }
  const uint32_t objectType = profile + 1;
  const uint32_t config = (objectType << 11) | (rateIndex << 7) | (channelConfig << 3);
  stream.audioSpecificConfig = {static_cast<uint8_t>(config >> 8), static_cast<uint8_t>(config)};
  stream.sampleRate = kSampleRates[rateIndex];
  stream.channels = channelConfig == 7 ? 8 : channelConfig;
  *out = std::move(stream);
  return true;
}

}  // namespace kp
