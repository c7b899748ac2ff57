// One captured endpoint ("desktop" loopback or "mic") on a thread of its
// own, writing into the ring it shares with the mixer. The source survives
// device removal and changes of the default device by reopening, and every
// opened stream re-aligns itself to the audio clock. A configured endpoint
// that is gone or not active is stood in for by the default endpoint until
// it is active again (looked at every 2 s, with the default device).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "app/repeat_log.h"
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
  // Stops and joins the capture thread. Must not run on that thread.
  ~AudioSource();
  AudioSource(const AudioSource&) = delete;
  AudioSource& operator=(const AudioSource&) = delete;

  // Clears the stop flag and starts the capture thread; does nothing while it
  // runs. A thread stopped from within but not yet joined is joined first.
  void Start();
  // Sets the stop flag and joins the thread; true once no capture thread
  // runs. Meant for the owner's thread. Called from the capture thread itself
  // (from a device callback) it can only ask the loop to end after the
  // current turn, since a thread cannot join itself: it returns false, and
  // the join is left to the next Start, Stop or the destructor, which must
  // then run on another thread.
  bool Stop();

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
  std::atomic<std::thread::id> captureThread_{};  // while ThreadMain runs
  std::atomic<bool> stop_{false};
  int64_t reopenTime_ = 0;
  int64_t lastDefaultCheck_ = 0;
  // Each open is an attempt: a device that keeps refusing logs once, then counts.
  RepeatLog opens_;
};

}  // namespace kp
