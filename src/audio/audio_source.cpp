#include "audio/audio_source.h"

#include <string>
#include <utility>

#include "app/log.h"

namespace kp {

namespace {

constexpr uint32_t kAccessDenied = 0x80070005;
constexpr int kWaitMs = 20;
constexpr int64_t kClosedSleepMs = 50;
constexpr int64_t kReopenDelay = kTicksPerSecond;
constexpr int64_t kDefaultCheckInterval = 2 * kTicksPerSecond;

const char* PrivacyHint(uint32_t code) {
  return code == kAccessDenied ? " — microphone access is blocked in Windows privacy settings" : "";
}

}  // namespace

const char* AudioSourceLabel(AudioSourceKind kind) {
  return kind == AudioSourceKind::kDesktop ? "desktop" : "mic";
}

AudioSource::AudioSource(AudioSourceKind kind, std::wstring deviceSetting, float volume, int64_t origin,
                         AudioRing* ring, std::unique_ptr<AudioDevice> device, Clock& clock)
    : label_(AudioSourceLabel(kind)),
      deviceSetting_(std::move(deviceSetting)),
      device_(std::move(device)),
      clock_(clock),
      positioner_(label_, volume, origin, ring),
      opens_(std::string("audio: ") + label_, clock) {}

AudioSource::~AudioSource() { Stop(); }

void AudioSource::Start() {
  if (thread_.joinable()) {
    if (!stop_) return;  // already running
    // Stopped from its own thread and not yet joined: end it before the new run.
    thread_.join();
  }
  stop_ = false;
  thread_ = std::thread([this] { ThreadMain(); });
}

bool AudioSource::Stop() {
  stop_ = true;
  // Decided without touching `thread_`, which the owner may be assigning
  // while this thread already runs. A thread cannot join itself.
  if (captureThread_.load() == std::this_thread::get_id()) return false;
  if (thread_.joinable()) thread_.join();
  return true;
}

void AudioSource::ThreadMain() {
  captureThread_ = std::this_thread::get_id();
  device_->EnterThread();
  while (!stop_) RunStep();
  device_->Close();
  device_->LeaveThread();
  captureThread_ = std::thread::id();
}

bool AudioSource::OpenDevice() {
  LogAttempt attempt(opens_);
  DeviceOpenResult result = device_->Open(deviceSetting_);
  switch (result.status) {
    case DeviceOpenStatus::kNoEndpoint:
      return false;
    // A privacy block shows as access denied, at activation or (as Windows
    // does it) when the stream is initialised.
    case DeviceOpenStatus::kActivateFailed:
      Log("audio: %s activate failed (hr=0x%08lX)%s", label_, static_cast<unsigned long>(result.code),
          PrivacyHint(result.code));
      return false;
    case DeviceOpenStatus::kInitializeFailed:
      Log("audio: %s initialize failed (hr=0x%08lX)%s", label_, static_cast<unsigned long>(result.code),
          PrivacyHint(result.code));
      return false;
    case DeviceOpenStatus::kOk:
      break;
  }
  attempt.Succeeded();
  positioner_.Unsync();
  Log("audio: %s capturing '%s'", label_, result.friendlyName.c_str());
  lastDefaultCheck_ = clock_.Now();
  return true;
}

void AudioSource::RunStep() {
  if (!device_->IsOpen()) {
    if (clock_.Now() < reopenTime_) {
      clock_.SleepMs(kClosedSleepMs);
      return;
    }
    if (!OpenDevice()) {
      reopenTime_ = clock_.Now() + kReopenDelay;
      return;
    }
  }

  device_->Wait(kWaitMs);
  uint32_t code = device_->ReadPackets([this](const DevicePacket& packet) { positioner_.Write(packet, clock_.Now()); });
  if (code != 0) {
    Log("audio: %s device lost (hr=0x%08lX), reopening", label_, static_cast<unsigned long>(code));
    device_->Close();
    reopenTime_ = clock_.Now() + kReopenDelay;
    return;
  }

  int64_t now = clock_.Now();
  if (now - lastDefaultCheck_ < kDefaultCheckInterval) return;
  lastDefaultCheck_ = now;
  const std::wstring current = device_->CurrentEndpointId();
  // A configured endpoint that was gone at the open left the source on the
  // default: it goes back as soon as the configured one is active again,
  // and follows the default meanwhile.
  const bool onFallback = deviceSetting_ != L"default" && current != deviceSetting_;
  if (onFallback && device_->EndpointActive(deviceSetting_)) {
    Log("audio: %s configured device is back, switching", label_);
    device_->Close();
    return;
  }
  // No default endpoint (an empty id) differs from the open one too: the
  // stream is closed and the reopen waits for a default to appear.
  if ((deviceSetting_ == L"default" || onFallback) && device_->DefaultEndpointId() != current) {
    Log("audio: %s default device changed, switching", label_);
    device_->Close();
  }
}

}  // namespace kp
