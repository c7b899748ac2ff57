// Places captured packets into a source's ring at the frame index that the
// device's own time stamps give, on the audio clock shared with the mixer.
// The stream is taken as continuous while the stamps agree with the frame
// count within 40 ms; beyond that the position is re-aligned to the stamps
// (one log line), so a drifting or jumping device never shifts audio
// against video for long.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/audio_device.h"

namespace kp {

class AudioRing;

class CapturePositioner {
 public:
  // Drift from which the position is re-aligned: more than 40 ms.
  static constexpr int64_t kResyncFrames = 1'921;

  CapturePositioner(const char* label, float volume, int64_t origin, AudioRing* ring);

  // Forgets the position; the next packet re-aligns without a log line.
  // Called for every newly opened stream.
  void Unsync() { synced_ = false; }

  // Scales the packet by the volume (or writes zeros for a silent packet)
  // into the ring at its position, then advances the position. `now` stands
  // in for a missing or unreliable device time stamp.
  void Write(const DevicePacket& packet, int64_t now);

  bool synced() const { return synced_; }
  int64_t position() const { return position_; }

 private:
  const char* label_;
  float volume_;
  int64_t origin_;
  AudioRing* ring_;
  bool synced_ = false;
  int64_t position_ = 0;
  std::vector<float> conversion_;
};

}  // namespace kp
