#include "media/packet.h"

namespace kp {

bool operator==(const VideoTrackInfo& a, const VideoTrackInfo& b) {
  // fps is a nominal rate that does not change the bitstream, so a change of
  // it alone must not start a new parameter group.
  return a.kind == b.kind && a.width == b.width && a.height == b.height && a.sps == b.sps &&
         a.pps == b.pps;
}

bool operator==(const AudioTrackInfo& a, const AudioTrackInfo& b) {
  return a.name == b.name && a.sampleRate == b.sampleRate && a.channels == b.channels &&
         a.audioSpecificConfig == b.audioSpecificConfig;
}

int64_t ToTimescale(int64_t ticks, uint32_t timescale) {
  // Signed division truncates toward zero, which is the rounding every
  // reader of our files has been given; do not "fix" it for negative input.
  return (ticks * static_cast<int64_t>(timescale) + 5'000'000) / 10'000'000;
}

}  // namespace kp
