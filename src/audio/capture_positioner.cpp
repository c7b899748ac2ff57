#include "audio/capture_positioner.h"

#include <algorithm>
#include <cstdlib>

#include "app/log.h"
#include "audio/audio_format.h"
#include "audio/audio_ring.h"

namespace kp {

CapturePositioner::CapturePositioner(const char* label, float volume, int64_t origin, AudioRing* ring)
    : label_(label), volume_(volume), origin_(origin), ring_(ring) {}

void CapturePositioner::Write(const DevicePacket& packet, int64_t now) {
  int64_t time = (packet.devicePosition == 0 || packet.timestampError) ? now
                                                                        : static_cast<int64_t>(packet.devicePosition);
  int64_t frame = TicksToFrames(time - origin_);
  if (!synced_) {
    position_ = frame;
    synced_ = true;
  } else {
    int64_t drift = frame - position_;
    if (std::llabs(drift) >= kResyncFrames) {
      Log("audio: %s resync by %.1f ms", label_, static_cast<double>(drift) * 1000.0 / kAudioSampleRate);
      position_ = frame;
    }
  }

  size_t values = static_cast<size_t>(packet.frames) * kAudioChannels;
  if (conversion_.size() < values) conversion_.resize(values);
  if (packet.silent || packet.samples == nullptr) {
    std::fill(conversion_.begin(), conversion_.begin() + static_cast<std::ptrdiff_t>(values), 0.0f);
  } else {
    for (size_t i = 0; i < values; ++i) conversion_[i] = packet.samples[i] * volume_;
  }
  ring_->Write(position_, conversion_.data(), packet.frames);
  position_ += packet.frames;
}

}  // namespace kp
