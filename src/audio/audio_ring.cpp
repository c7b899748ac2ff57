#include "audio/audio_ring.h"

#include <algorithm>
#include <cstring>

namespace kp {

namespace {

int64_t Slot(int64_t index) {
  int64_t slot = index % AudioRing::kCapacityFrames;
  return slot < 0 ? slot + AudioRing::kCapacityFrames : slot;
}

}  // namespace

AudioRing::AudioRing() : samples_(static_cast<size_t>(kCapacityFrames) * 2, 0.0f) {}

void AudioRing::Write(int64_t position, const float* frames, int64_t frameCount) {
  std::lock_guard lock(mutex_);
  int64_t begin = std::max(position, readPosition_);
  int64_t end = std::min(readPosition_ + kCapacityFrames, position + frameCount);
  while (begin < end) {
    int64_t slot = Slot(begin);
    int64_t run = std::min(end - begin, kCapacityFrames - slot);
    std::memcpy(&samples_[static_cast<size_t>(slot) * 2], frames + (begin - position) * 2,
                static_cast<size_t>(run) * 2 * sizeof(float));
    begin += run;
  }
}

void AudioRing::Take(int64_t position, float* out, int64_t frameCount) {
  std::lock_guard lock(mutex_);
  int64_t done = 0;
  while (done < frameCount) {
    int64_t slot = Slot(position + done);
    int64_t run = std::min(frameCount - done, kCapacityFrames - slot);
    float* from = &samples_[static_cast<size_t>(slot) * 2];
    std::memcpy(out + done * 2, from, static_cast<size_t>(run) * 2 * sizeof(float));
    std::fill(from, from + run * 2, 0.0f);
    done += run;
  }
  readPosition_ = position + frameCount;
}

void AudioRing::Reset(int64_t readPosition) {
  std::lock_guard lock(mutex_);
  std::fill(samples_.begin(), samples_.end(), 0.0f);
  readPosition_ = readPosition;
}

int64_t AudioRing::ReadPosition() const {
  std::lock_guard lock(mutex_);
  return readPosition_;
}

}  // namespace kp
