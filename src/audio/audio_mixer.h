// The mixer's work: cuts the sources' rings into 1,024-frame blocks on the
// common 48 kHz clock, 200 ms behind real time so that late device packets
// still land, mixes or passes them per track, converts to 16-bit PCM and
// encodes AAC. Each wake-up processes every block that became due, so its
// work is bounded by the elapsed time. A mixer that falls more than 2 s
// behind (suspend, starvation) jumps to the present instead of catching up.
// Used by one thread (the pipeline's mixer thread, or a test driving it).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/aac_codec.h"
#include "audio/aac_encoder.h"
#include "audio/audio_config.h"
#include "media/packet.h"

namespace kp {

class AudioRing;

class AudioMixer {
 public:
  // The mixer trails real time by this many frames (200 ms).
  static constexpr int64_t kLagFrames = 9'600;
  // From this lag on (more than 2 s) the mixer skips ahead.
  static constexpr int64_t kSkipFrames = 96'001;

  // Either ring may be null (its source is disabled); its block is silence.
  AudioMixer(std::vector<TrackKind> kinds, uint32_t bitrateKbps, int64_t origin, AudioRing* desktop,
             AudioRing* microphone, AacCodecFactory codecFactory, AudioPacketSink sink);

  // Creates one encoder per track and logs the track count and bitrate.
  void Begin();

  // One wake-up at time `now`: skips ahead when too far behind, then mixes
  // every due block, checking `stop` (when given) before each.
  void Tick(int64_t now, const std::atomic<bool>* stop = nullptr);

  // Frame index of the next block to mix.
  int64_t position() const { return position_; }
  int64_t blocksMixed() const { return blocksMixed_; }

  // Clamps to [-1, 1], scales by 32,767 and rounds to nearest.
  static int16_t ToPcm16(float value);

 private:
  void StartEncoders();
  void MixBlock();

  std::vector<TrackKind> kinds_;
  uint32_t bitrateKbps_;
  int64_t origin_;
  AudioRing* desktop_;
  AudioRing* microphone_;
  AacCodecFactory codecFactory_;
  AudioPacketSink sink_;
  std::vector<std::unique_ptr<AacEncoder>> encoders_;
  std::vector<float> desktopBlock_;
  std::vector<float> microphoneBlock_;
  std::vector<float> mixBlock_;
  std::vector<int16_t> pcmBlock_;
  AudioPacketList packets_;
  int64_t position_ = 0;
  int64_t blocksMixed_ = 0;
};

}  // namespace kp
