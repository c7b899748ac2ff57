// The buffer one audio source shares with the mixer: 4 s of interleaved
// stereo float frames addressed by their absolute frame index on the audio
// clock (frame 0 = the clock origin). Frame i lives in slot i mod capacity.
// The source writes at positions derived from device time stamps; the mixer
// takes whole blocks and zeroes what it took, so a slot that no source wrote
// since the last take reads as silence rather than stale audio.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace kp {

class AudioRing {
 public:
  static constexpr int64_t kCapacityFrames = 192'000;

  AudioRing();
  AudioRing(const AudioRing&) = delete;
  AudioRing& operator=(const AudioRing&) = delete;

  // Writes `frameCount` frames (2 floats each) whose first frame has index
  // `position`. Only frames in [readPosition, readPosition + capacity) are
  // stored: frames the mixer already passed, and frames more than 4 s ahead
  // of it, are dropped.
  void Write(int64_t position, const float* frames, int64_t frameCount);

  // Copies frames [position, position + frameCount) into `out`, zeroes their
  // slots and sets the read position to position + frameCount.
  // frameCount must not exceed the capacity.
  void Take(int64_t position, float* out, int64_t frameCount);

  // Zeroes the whole storage and sets the read position (the mixer's jump).
  void Reset(int64_t readPosition);

  int64_t ReadPosition() const;

 private:
  mutable std::mutex mutex_;
  std::vector<float> samples_;
  int64_t readPosition_ = 0;
};

}  // namespace kp
