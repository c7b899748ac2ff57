// The value types in which encoded media crosses every subsystem. Times are
// signed 64-bit counts of 100-ns ticks on the process-wide monotonic clock, so
// video and audio of one run compare directly.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kp {

// One encoded video access unit or one AAC frame. Immutable once handed on.
// Video payload: length-prefixed NAL units (4-byte big-endian sizes), without
// SPS/PPS/AUD units and without start codes. Audio payload: one raw AAC
// access unit (no ADTS header), 1024 samples per channel.
struct EncodedPacket {
  int64_t pts = 0;
  int64_t duration = 0;
  bool keyframe = false;
  std::vector<uint8_t> data;
};

// Codec parameters of the H.264 track. `sps`/`pps` are single NAL units
// (header byte + RBSP), no start code or length prefix; sps[1..3] are
// profile_idc, the constraint flags and level_idc.
struct VideoTrackInfo {
  uint32_t kind = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fps = 0;
  std::vector<uint8_t> sps;
  std::vector<uint8_t> pps;
};

// Parameters changed unless kind, size, SPS and PPS are equal; fps does not
// take part.
bool operator==(const VideoTrackInfo& a, const VideoTrackInfo& b);

// One AAC track; its index is its position in the track list.
struct AudioTrackInfo {
  std::string name;  // UTF-8; the MP4 handler name
  uint32_t sampleRate = 0;
  uint32_t channels = 0;
  std::vector<uint8_t> audioSpecificConfig;
};

bool operator==(const AudioTrackInfo& a, const AudioTrackInfo& b);
// (std::vector<AudioTrackInfo> compares with the vector's own operator==:
// same length and element-wise equal.)

using VideoPacketSink = std::function<void(const VideoTrackInfo&, std::shared_ptr<const EncodedPacket>)>;
using AudioPacketSink = std::function<void(int, std::shared_ptr<const EncodedPacket>)>;

// Ticks to media time units of a track, rounding to nearest:
// (t * timescale + 5,000,000) / 10,000,000 in signed 64-bit arithmetic.
int64_t ToTimescale(int64_t ticks, uint32_t timescale);

}  // namespace kp
