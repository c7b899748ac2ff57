// The fixed audio format of the recorder (48 kHz, stereo) and the exact
// conversions between 100-ns ticks and sample frames on that clock.
#pragma once

#include <cstdint>

namespace kp {

inline constexpr int64_t kAudioSampleRate = 48'000;
inline constexpr int kAudioChannels = 2;
// Frames per mixer block and per AAC frame.
inline constexpr int64_t kAudioBlockFrames = 1'024;

// Frames on the 48 kHz clock covered by `ticks`, truncated toward zero.
// Equal to ticks * 48,000 / 10,000,000 but computed in two parts so that it
// cannot overflow for any 64-bit tick count.
constexpr int64_t TicksToFrames(int64_t ticks) {
  return (ticks / 10'000'000) * kAudioSampleRate + (ticks % 10'000'000) * kAudioSampleRate / 10'000'000;
}

// Ticks covered by `frames`, truncated toward zero; frames * 10,000,000 /
// 48,000 without overflow.
constexpr int64_t FramesToTicks(int64_t frames) {
  return (frames / kAudioSampleRate) * 10'000'000 + (frames % kAudioSampleRate) * 10'000'000 / kAudioSampleRate;
}

}  // namespace kp
