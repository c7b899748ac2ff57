// One captured endpoint ("desktop" loopback or "mic") on a thread of its
// own, writing into the ring it shares with the mixer. The source survives
// device removal and changes of the default device by reopening, and every
// opened stream re-aligns itself to the audio clock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "audio/audio_device.h"
#include "audio/capture_positioner.h"
#include "platform/clock.h"

namespace kp {

class AudioRing;

class AudioSource {
 public:
  // `origin`: the audio clock origin shared by all sources and the mixer.
  // `device` is the endpoint edge (CreatePlatformAudioDevice in the product).
  AudioSource(AudioSourceKind kind, std::wstring deviceSetting, float volume, int64_t origin, AudioRing* ring,
              std::unique_ptr<AudioDevice> device, Clock& clock = SystemClock());
  ~AudioSource();
  AudioSource(const AudioSource&) = delete;
  AudioSource& operator=(const AudioSource&) = delete;

  // Clears the stop flag and starts the capture thread.
  void Start();
  // Sets the stop flag and joins the thread. Called from the capture thread
  // itself it only sets the flag (a thread cannot join itself).
  void Stop();

  // One turn of the capture loop; the thread runs it until stopped. Public so
  // that a test can drive a source turn by turn on a fake clock.
  void RunStep();

 private:
  bool OpenDevice();
  void ThreadMain();

  const char* label_;
  std::wstring deviceSetting_;
  std::unique_ptr<AudioDevice> device_;
  Clock& clock_;
  CapturePositioner positioner_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  int64_t reopenTime_ = 0;
  int64_t lastDefaultCheck_ = 0;
};

}  // namespace kp
