#include "engine/engine.h"

#include <limits>
#include <utility>

#include "app/log.h"
#include "audio/audio_config.h"
#include "config/data_folders.h"
#include "engine/pipeline.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/thread_priority.h"

namespace kp {

namespace {

bool VideoSettingsDiffer(const Settings& a, const Settings& b) {
  return a.monitor != b.monitor || a.resolution != b.resolution || a.fps != b.fps || a.codec != b.codec ||
         a.encoder != b.encoder || a.rateControl != b.rateControl || a.quality != b.quality ||
         a.bitrateMbps != b.bitrateMbps || a.encoderPreset != b.encoderPreset || a.showCursor != b.showCursor;
}

bool AudioSettingsDiffer(const Settings& a, const Settings& b) {
  return !(a.desktop == b.desktop) || !(a.microphone == b.microphone) || a.tracks != b.tracks ||
         a.audioBitrateKbps != b.audioBitrateKbps;
}

// The buffer folder of `settings` in absolute form, or as derived when it
// cannot be made absolute.
std::wstring AbsoluteBufferFolder(const Settings& settings) {
  const std::wstring derived = BufferFolderPath(settings.bufferFolder);
  std::wstring absolute = MakeAbsolutePath(derived);
  return absolute.empty() ? derived : absolute;
}

}  // namespace

Engine::Engine(SaveCallback onSaved, EngineEnvironment environment)
    : onSaved_(std::move(onSaved)),
      environment_(std::move(environment)),
      chains_(environment_.chains ? *environment_.chains : PlatformVideoChainFactory()),
      files_(environment_.files ? *environment_.files : SystemFiles()),
      clock_(environment_.clock ? *environment_.clock : SystemClock()) {
  if (environment_.audio.clock == nullptr) environment_.audio.clock = &clock_;
  if (!environment_.localTime) environment_.localTime = GetLocalTimeNow;
  saveThread_ = std::thread(&Engine::SaveLoop, this);
}

Engine::~Engine() { Shutdown(); }

void Engine::ApplySettings(const Settings& settings) {
  const Settings old = settings_;
  const bool wasApplied = settingsApplied_;
  settings_ = settings;
  settingsApplied_ = true;

  const int64_t window = static_cast<int64_t>(settings.bufferSeconds) * kTicksPerSecond;
  const std::wstring folder = AbsoluteBufferFolder(settings);
  if (!buffer_ || buffer_->Folder() != folder) {
    if (buffer_) {
      Log("engine: buffer folder changed \xE2\x80\x94 starting a new buffer");
      // The callbacks hold a plain pointer to the old buffer: nothing may
      // push into it once it is replaced. Queued saves keep it alive.
      StopCapture();
    }
    buffer_ = std::make_shared<ReplayBuffer>(folder, window, files_, clock_);
  }
  buffer_->SetWindow(window);

  // A pause made from the tray survives unrelated changes; only a change of
  // the setting itself overrides it.
  if (!wasApplied || old.replayEnabled != settings.replayEnabled) replayEnabled_ = settings.replayEnabled;

  if (!replayEnabled_) {
    StopCapture();
    return;
  }
  if (!capture_) {
    StartCapture();
  } else if (VideoSettingsDiffer(old, settings)) {
    Log("engine: video settings changed \xE2\x80\x94 restarting capture (buffer kept)");
    StopCapture();
    StartCapture();
  } else if (AudioSettingsDiffer(old, settings)) {
    Log("engine: audio settings changed \xE2\x80\x94 restarting audio");
    StopAudio();
    StartAudio();
  }
}

void Engine::SetReplayEnabled(bool on) {
  if (on == replayEnabled_) return;
  replayEnabled_ = on;
  Log("engine: replay %s", on ? "resumed" : "paused");
  if (on) {
    StartCapture();
  } else {
    StopCapture();
  }
}

void Engine::StartCapture() {
  if (capture_ || !buffer_) return;
  const Settings& s = settings_;
  const std::string rate = s.rateControl == "bitrate" ? std::to_string(s.bitrateMbps) + "Mbps" : s.quality;
  Log("engine: starting capture \xE2\x80\x94 monitor %s, %s, %d fps, %s/%s, preset %s, window %ds",
      WideToUtf8(s.monitor).c_str(),
      ResolutionText(s.resolution).c_str(), s.fps, s.rateControl.c_str(), rate.c_str(), s.encoderPreset.c_str(),
      s.bufferSeconds);

  PipelineConfig config = MakePipelineConfig(s);
  config.failStalledEncoder = true;  // nobody watches the engine's recording: a stalled encoder is rebuilt
  capture_ = std::make_unique<PipelineState>(std::move(config), chains_, clock_);
  captureStop_ = false;
  ReplayBuffer* buffer = buffer_.get();
  VideoPacketSink sink = [buffer](const VideoTrackInfo& info, std::shared_ptr<const EncodedPacket> packet) {
    buffer->PushVideo(info, std::move(packet));
  };
  PipelineState* state = capture_.get();
  pipelineThread_ = std::thread([this, state, sink = std::move(sink)] {
    SetCurrentThreadPriority(ThreadPriority::kAboveNormal);
    RunPipeline(*state, captureStop_, std::numeric_limits<int64_t>::max(), sink);
  });
  StartAudio();
}

void Engine::StopCapture() {
  if (!capture_) return;
  StopAudio();
  captureStop_ = true;
  if (pipelineThread_.joinable()) pipelineThread_.join();
  Log("engine: capture stopped \xE2\x80\x94 %lld frames, %lld skipped, %d recoveries, %lld rebuilds",
      static_cast<long long>(capture_->framesEncoded.load()), static_cast<long long>(capture_->framesSkipped.load()),
      static_cast<int>(capture_->recoveries.load()), static_cast<long long>(capture_->rebuilds.load()));
  capture_.reset();
}

void Engine::StartAudio() {
  audio_.reset();
  audio_ = std::make_unique<AudioPipeline>(MakeAudioConfig(settings_), environment_.audio);
  buffer_->SetAudioTracks(audio_->TrackInfos());
  ReplayBuffer* buffer = buffer_.get();
  audio_->Start([buffer](int track, std::shared_ptr<const EncodedPacket> packet) {
    buffer->PushAudio(track, std::move(packet));
  });
}

void Engine::StopAudio() { audio_.reset(); }

Engine::Status Engine::GetStatus() const {
  Status status;
  if (capture_) {
    status.captureRunning = true;
    status.capturing = capture_->capturing.load();
  }
  if (buffer_) {
    const BufferStatus buffered = buffer_->GetStatus();
    status.bufferedSeconds = static_cast<double>(buffered.duration) / 1e7;
    status.lowSpace = buffered.degraded;
    status.bufferUnwritable = buffered.unwritable;
  }
  status.pendingSaves = pendingSaves_.load();
  status.saveProgress = saveProgress_.load();
  return status;
}

void Engine::Shutdown() {
  StopCapture();
  {
    std::lock_guard<std::mutex> lock(saveMutex_);
    stopSaving_ = true;
  }
  saveCondition_.notify_all();
  if (saveThread_.joinable()) saveThread_.join();
  buffer_.reset();
}

}  // namespace kp
