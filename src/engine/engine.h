// The recorder: owns the replay buffer, the video pipeline thread, the audio
// pipeline and the clip save queue, and decides from each settings change
// what to restart — nothing, the audio, the whole capture (keeping the
// buffer), or the capture with a new buffer. Public operations are called
// from one thread (the host's), one at a time; the save callback runs on the
// save thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "audio/audio_pipeline.h"
#include "config/settings.h"
#include "engine/pipeline_state.h"
#include "media/replay_buffer.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/local_time.h"

namespace kp {

// What the engine runs on. Null members mean the product's own: the
// platform's video chain, audio devices and codec, files and clock, and the
// local time of day for clip names.
struct EngineEnvironment {
  VideoChainFactory* chains = nullptr;
  AudioEnvironment audio;  // its clock defaults to `clock`
  Files* files = nullptr;
  Clock* clock = nullptr;
  std::function<LocalTime()> localTime;
};

class Engine {
 public:
  struct Status {
    bool captureRunning = false;  // replay is running (not paused)
    bool capturing = false;       // screen frames arrive right now
    // Recorded seconds a save would give now (within 0.5 s).
    double bufferedSeconds = 0.0;
    bool lowSpace = false;
    int pendingSaves = 0;
    double saveProgress = 0.0;
    // No segment file can be created in the buffer folder right now.
    bool bufferUnwritable = false;
  };

  struct SaveResult {
    bool ok = false;
    std::wstring path;
    double duration = 0.0;  // recorded seconds of video in the clip, cuts left out
  };

  using SaveCallback = std::function<void(const SaveResult&)>;

  // Starts the save thread; nothing records until ApplySettings.
  explicit Engine(SaveCallback onSaved, EngineEnvironment environment = {});
  // Shutdown, then frees what is left.
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Applies a complete settings value, restarting only what it changes.
  void ApplySettings(const Settings& settings);
  // Pause (false) or resume (true); the buffer and its content stay.
  void SetReplayEnabled(bool on);
  bool ReplayEnabled() const { return replayEnabled_; }
  // Freezes the window ending at the newest recorded moment (now while
  // recording, the last picture while paused) and queues it for writing;
  // false when there is nothing to save (no buffer, or nothing buffered yet).
  bool RequestSave();
  Status GetStatus() const;
  // Stops capture, writes every queued save, ends the save thread and lets
  // go of the buffer. Safe to call more than once.
  void Shutdown();

 private:
  struct SaveRequest {
    std::shared_ptr<ReplayBuffer> buffer;
    ReplayBuffer::Clip clip;
    std::wstring path;
    int64_t requestedAt = 0;
  };

  void StartCapture();
  void StopCapture();
  void StartAudio();
  void StopAudio();
  void SaveLoop();
  void WriteSave(SaveRequest& request);
  // A clip path not used by an existing file, the save being written or a
  // queued request. Save mutex held.
  std::wstring UniqueClipPath(const std::wstring& base) const;

  SaveCallback onSaved_;
  EngineEnvironment environment_;
  VideoChainFactory& chains_;
  Files& files_;
  Clock& clock_;

  Settings settings_;
  bool settingsApplied_ = false;
  bool replayEnabled_ = false;
  std::shared_ptr<ReplayBuffer> buffer_;
  std::unique_ptr<PipelineState> capture_;
  std::unique_ptr<AudioPipeline> audio_;
  std::thread pipelineThread_;
  std::atomic<bool> captureStop_{false};

  std::mutex saveMutex_;
  std::condition_variable saveCondition_;
  std::deque<SaveRequest> saveQueue_;
  std::wstring currentSavePath_;
  bool stopSaving_ = false;
  std::atomic<int> pendingSaves_{0};
  std::atomic<double> saveProgress_{0.0};
  std::thread saveThread_;  // last: started once everything above exists
};

}  // namespace kp
