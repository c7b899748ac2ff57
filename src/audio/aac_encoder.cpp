#include "audio/aac_encoder.h"

#include <algorithm>
#include <utility>

#include "app/log.h"
#include "audio/audio_format.h"

namespace kp {

namespace {

unsigned long Hr(uint32_t code) { return static_cast<unsigned long>(code); }

}  // namespace

AacEncoder::AacEncoder(AacCodecFactory factory) : factory_(std::move(factory)) {}

uint32_t AacEncoder::EffectiveBitrate(uint32_t kbps) {
  static constexpr uint32_t kAllowed[] = {192, 160, 128, 96};
  for (uint32_t allowed : kAllowed) {
    if (allowed <= kbps) return allowed;
  }
  return 96;
}

std::vector<uint8_t> AacEncoder::AudioSpecificConfig() { return {0x11, 0x90}; }

bool AacEncoder::Initialize(uint32_t kbps) {
  codec_.reset();
  firstInputTime_ = -1;
  frameCount_ = 0;
  outputBufferSize_ = kMinOutputBufferSize;

  uint32_t code = 0;
  codec_ = factory_ ? factory_(&code) : nullptr;
  if (!codec_) {
    Log("aac: encoder unavailable (hr=0x%08lX)", Hr(code));
    return false;
  }

  const uint32_t effective = EffectiveBitrate(kbps);
  code = codec_->SetInputType();
  if (code == AacCodec::kOk) code = codec_->SetOutputType(effective);
  if (code != AacCodec::kOk) {
    // Some transforms only accept the input type once the output is fixed.
    code = codec_->SetOutputType(effective);
    if (code == AacCodec::kOk) code = codec_->SetInputType();
    if (code != AacCodec::kOk) {
      Log("aac: media types rejected (hr=0x%08lX)", Hr(code));
      return false;
    }
  }

  outputBufferSize_ = std::max(codec_->OutputBufferSize(), kMinOutputBufferSize);
  codec_->BeginStream();
  return true;
}

void AacEncoder::Encode(const int16_t* samples, uint32_t frames, int64_t time, AudioPacketList& packets) {
  if (!codec_) return;
  if (firstInputTime_ == -1) firstInputTime_ = time;
  const int64_t duration = FramesToTicks(frames);
  uint32_t code = codec_->ProcessInput(samples, frames, time, duration);
  if (code == AacCodec::kNotAccepting) {
    CollectOutputs(packets);
    code = codec_->ProcessInput(samples, frames, time, duration);
  }
  if (code != AacCodec::kOk) {
    Log("aac: ProcessInput failed (hr=0x%08lX)", Hr(code));
    return;
  }
  CollectOutputs(packets);
}

void AacEncoder::Flush(AudioPacketList& packets) {
  if (!codec_) return;
  codec_->Drain();
  CollectOutputs(packets);
}

void AacEncoder::CollectOutputs(AudioPacketList& packets) {
  for (;;) {
    std::vector<uint8_t> data;
    bool hasTime = false;
    int64_t time = 0;
    uint32_t code = codec_->ProcessOutput(outputBufferSize_, &data, &hasTime, &time);
    if (code == AacCodec::kNeedMoreInput) return;
    if (code != AacCodec::kOk) {
      Log("aac: ProcessOutput failed (hr=0x%08lX)", Hr(code));
      return;
    }
    if (data.empty()) continue;
    if (frameCount_ == 0 && hasTime) {
      Log("aac: first frame, encoder time offset %.1f ms", static_cast<double>(time - firstInputTime_) / 10'000.0);
    }
    auto packet = std::make_shared<EncodedPacket>();
    int64_t start = FramesToTicks(frameCount_ * kAudioBlockFrames);
    packet->pts = firstInputTime_ + start;
    packet->duration = FramesToTicks((frameCount_ + 1) * kAudioBlockFrames) - start;
    packet->keyframe = true;
    packet->data = std::move(data);
    ++frameCount_;
    packets.push_back(std::move(packet));
  }
}

}  // namespace kp
