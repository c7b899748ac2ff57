#include "audio/audio_mixer.h"

#include <cmath>
#include <utility>

#include "app/log.h"
#include "audio/audio_format.h"
#include "audio/audio_ring.h"

namespace kp {

namespace {

constexpr size_t kBlockValues = static_cast<size_t>(kAudioBlockFrames) * kAudioChannels;

}  // namespace

AudioMixer::AudioMixer(std::vector<TrackKind> kinds, uint32_t bitrateKbps, int64_t origin, AudioRing* desktop,
                       AudioRing* microphone, AacCodecFactory codecFactory, AudioPacketSink sink)
    : kinds_(std::move(kinds)),
      bitrateKbps_(bitrateKbps),
      origin_(origin),
      desktop_(desktop),
      microphone_(microphone),
      codecFactory_(std::move(codecFactory)),
      sink_(std::move(sink)),
      desktopBlock_(kBlockValues, 0.0f),
      microphoneBlock_(kBlockValues, 0.0f),
      mixBlock_(kBlockValues, 0.0f),
      pcmBlock_(kBlockValues, 0) {}

int16_t AudioMixer::ToPcm16(float value) {
  // NaN would compare false below and survive the clamp.
  if (value != value) return 0;
  if (value > 1.0f) value = 1.0f;
  if (value < -1.0f) value = -1.0f;
  return static_cast<int16_t>(std::lround(value * 32767.0f));
}

void AudioMixer::StartEncoders() {
  encoders_.clear();
  for (size_t i = 0; i < kinds_.size(); ++i) {
    encoders_.push_back(std::make_unique<AacEncoder>(codecFactory_));
    encoders_.back()->Initialize(bitrateKbps_);
  }
}

void AudioMixer::Begin() {
  StartEncoders();
  Log("audio: %zu track(s) at %u kbps AAC", kinds_.size(), AacEncoder::EffectiveBitrate(bitrateKbps_));
}

void AudioMixer::Tick(int64_t now, const std::atomic<bool>* stop) {
  const int64_t target = TicksToFrames(now - origin_) - kLagFrames;
  if (target - position_ >= kSkipFrames) {
    Log("audio: mixer fell %.1fs behind, skipping ahead",
        static_cast<double>(target - position_) / static_cast<double>(kAudioSampleRate));
    position_ = target / kAudioBlockFrames * kAudioBlockFrames;
    if (desktop_) desktop_->Reset(position_);
    if (microphone_) microphone_->Reset(position_);
    StartEncoders();
  }
  while (position_ + kAudioBlockFrames <= target && !(stop && stop->load())) MixBlock();
}

void AudioMixer::MixBlock() {
  if (desktop_) desktop_->Take(position_, desktopBlock_.data(), kAudioBlockFrames);
  if (microphone_) microphone_->Take(position_, microphoneBlock_.data(), kAudioBlockFrames);
  const int64_t time = origin_ + FramesToTicks(position_);

  for (size_t track = 0; track < kinds_.size(); ++track) {
    const float* samples = desktopBlock_.data();
    if (kinds_[track] == TrackKind::kMicrophone) {
      samples = microphoneBlock_.data();
    } else if (kinds_[track] == TrackKind::kMixed) {
      for (size_t i = 0; i < kBlockValues; ++i) mixBlock_[i] = desktopBlock_[i] + microphoneBlock_[i];
      samples = mixBlock_.data();
    }
    for (size_t i = 0; i < kBlockValues; ++i) pcmBlock_[i] = ToPcm16(samples[i]);

    packets_.clear();
    encoders_[track]->Encode(pcmBlock_.data(), static_cast<uint32_t>(kAudioBlockFrames), time, packets_);
    for (auto& packet : packets_) {
      if (sink_) sink_(static_cast<int>(track), std::move(packet));
    }
  }
  packets_.clear();
  position_ += kAudioBlockFrames;
  ++blocksMixed_;
}

}  // namespace kp
