// The recorder's audio: turns the audio settings into output tracks, runs
// the desktop and microphone sources, and on a mixer thread of its own
// produces AAC packets for every track, stamped on the same monotonic clock
// as the video so both align by absolute time. Built, started, stopped and
// destroyed by one owner thread; a settings change that touches audio builds
// a new pipeline (and with it a new audio clock origin).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "audio/aac_codec.h"
#include "audio/audio_config.h"
#include "audio/audio_device.h"
#include "media/packet.h"
#include "platform/clock.h"

namespace kp {

class AudioRing;
class AudioSource;

// What the pipeline runs on. The defaults are the product's: the system
// clock, the platform's devices and the platform's AAC codec.
struct AudioEnvironment {
  Clock* clock = nullptr;
  AudioDeviceFactory deviceFactory;
  AacCodecFactory codecFactory;
  // Called on the mixer thread when it begins and just before it ends (used
  // to measure that thread's own CPU time).
  std::function<void()> onMixerThreadStart;
  std::function<void()> onMixerThreadEnd;
};

class AudioPipeline {
 public:
  // Computes the tracks; starts nothing.
  explicit AudioPipeline(const AudioConfig& config, AudioEnvironment environment = {});
  ~AudioPipeline();
  AudioPipeline(const AudioPipeline&) = delete;
  AudioPipeline& operator=(const AudioPipeline&) = delete;

  // One entry per track, fixed at construction.
  const std::vector<AudioTrackInfo>& TrackInfos() const { return trackInfos_; }
  const std::vector<TrackKind>& TrackKinds() const { return trackKinds_; }

  // With no tracks does nothing. Otherwise sets the audio clock origin to
  // now, starts the enabled sources (desktop first) and the mixer thread.
  // `sink` is called on the mixer thread, in time order per track and in
  // track order for every block; it must not block for long.
  void Start(AudioPacketSink sink);

  // Stops the mixer, then the desktop and microphone sources; drops the
  // callback and the rings. Audio still inside the encoders is discarded.
  void Stop();

  bool Running() const { return mixerThread_.joinable(); }
  // The origin of the current (or last) run's audio clock.
  int64_t Origin() const { return origin_; }
  // Blocks the mixer has produced in this run (readable from any thread).
  int64_t BlocksMixed() const { return blocksMixed_.load(); }

 private:
  void MixerMain();

  AudioConfig config_;
  AudioEnvironment environment_;
  Clock& clock_;
  std::vector<TrackKind> trackKinds_;
  std::vector<AudioTrackInfo> trackInfos_;
  std::unique_ptr<AudioRing> desktopRing_;
  std::unique_ptr<AudioRing> microphoneRing_;
  std::unique_ptr<AudioSource> desktopSource_;
  std::unique_ptr<AudioSource> microphoneSource_;
  AudioPacketSink sink_;
  std::thread mixerThread_;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> blocksMixed_{0};
  int64_t origin_ = 0;
};

}  // namespace kp
