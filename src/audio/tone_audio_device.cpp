#include "audio/tone_audio_device.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "audio/audio_format.h"
#include "platform/clock.h"

namespace kp {

namespace {

bool InAny(const std::vector<ToneWindow>& windows, int64_t t) {
  return std::any_of(windows.begin(), windows.end(), [t](const ToneWindow& w) { return w.Contains(t); });
}

}  // namespace

ToneAudioDevice::ToneAudioDevice(AudioSourceKind kind, Clock& clock, ToneScript script)
    : kind_(kind), clock_(clock), script_(std::move(script)) {
  if (script_.packetFrames == 0) script_.packetFrames = 480;
}

ToneScript ToneAudioDevice::DefaultScript(AudioSourceKind kind) {
  ToneScript script;
  script.frequencyHz = kind == AudioSourceKind::kDesktop ? 440.0 : 1000.0;
  script.amplitude = 0.25f;
  return script;
}

float ToneAudioDevice::SignalAt(const ToneScript& script, int64_t elapsed, int64_t burstElapsed) {
  if (!script.bursts.empty() && !InAny(script.bursts, burstElapsed)) return 0.0f;
  if (script.frequencyHz == 0.0) return script.amplitude;
  double phase = 2.0 * std::numbers::pi * script.frequencyHz * static_cast<double>(elapsed) / 1e7;
  return static_cast<float>(script.amplitude * std::sin(phase));
}

int64_t ToneAudioDevice::FrameTime(int64_t frame) const {
  if (script_.clockError == 0.0) {
    // Rounded up, so the time stamp maps back to exactly this frame.
    return streamStart_ + (frame * 10'000'000 + kAudioSampleRate - 1) / kAudioSampleRate;
  }
  double rate = static_cast<double>(kAudioSampleRate) * (1.0 + script_.clockError);
  return streamStart_ + static_cast<int64_t>(std::ceil(static_cast<double>(frame) * 1e7 / rate));
}

int64_t ToneAudioDevice::DueTime(int64_t frame) const {
  int64_t due = FrameTime(frame + script_.packetFrames);
  int64_t start = FrameTime(frame) - epoch_;
  for (const auto& late : script_.lateDeliveries) {
    if (late.window.Contains(start)) due += late.delay;
  }
  return due;
}

int64_t ToneAudioDevice::Elapsed() const { return epoch_ < 0 ? -1 : clock_.Now() - epoch_; }

bool ToneAudioDevice::Due(const std::vector<int64_t>& moments, size_t& used) const {
  if (used >= moments.size() || Elapsed() < moments[used]) return false;
  ++used;
  return true;
}

bool ToneAudioDevice::EndpointActive(const std::wstring& id) {
  if (!script_.otherEndpoint.empty() && id == script_.otherEndpoint) {
    return !InAny(script_.otherEndpointInactive, std::max<int64_t>(Elapsed(), 0));
  }
  return !id.empty() && id == DefaultEndpointId();
}

std::wstring ToneAudioDevice::DefaultEndpointId() {
  // Before the first open no scripted change has happened yet.
  int64_t elapsed = Elapsed();
  if (InAny(script_.noDefaultEndpoint, elapsed)) return {};
  auto changes = std::count_if(script_.defaultChanges.begin(), script_.defaultChanges.end(),
                               [elapsed](int64_t at) { return at <= elapsed; });
  return std::wstring(kind_ == AudioSourceKind::kDesktop ? L"tone:desktop:" : L"tone:mic:") +
         std::to_wstring(changes);
}

DeviceOpenResult ToneAudioDevice::Open(const std::wstring& deviceSetting) {
  DeviceOpenResult result;
  ++opens_;
  if (opens_ <= script_.failingOpens) {
    result.status = script_.openFailure;
    result.code = script_.openFailureCode;
    return result;
  }
  int64_t now = clock_.Now();
  if (epoch_ < 0) epoch_ = now;
  // Any other configured id is one that no longer exists: like an inactive
  // endpoint, it falls back to the default.
  currentId_ = deviceSetting != L"default" && EndpointActive(deviceSetting) ? deviceSetting : DefaultEndpointId();
  if (currentId_.empty()) {
    result.status = DeviceOpenStatus::kNoEndpoint;
    return result;
  }
  streamStart_ = now;
  nextFrame_ = 0;
  open_ = true;
  result.status = DeviceOpenStatus::kOk;
  result.friendlyName =
      script_.name.empty() ? "Tone " + std::to_string(static_cast<int>(script_.frequencyHz)) + " Hz" : script_.name;
  return result;
}

void ToneAudioDevice::Close() {
  open_ = false;
  currentId_.clear();
}

void ToneAudioDevice::Wait(int milliseconds) {
  int64_t wait = milliseconds;
  if (open_) {
    int64_t ahead = DueTime(nextFrame_) - clock_.Now();
    if (ahead <= 0) return;
    wait = std::min<int64_t>(wait, (ahead + kTicksPerMillisecond - 1) / kTicksPerMillisecond);
  }
  clock_.SleepMs(wait);
}

uint32_t ToneAudioDevice::ReadPackets(const std::function<void(const DevicePacket&)>& sink) {
  if (!open_) return kDeviceInvalidated;
  int64_t now = clock_.Now();
  if (Due(script_.readFailures, failuresUsed_)) return kDeviceInvalidated;
  if (currentId_ == script_.otherEndpoint && !EndpointActive(currentId_)) return kDeviceInvalidated;
  if (Due(script_.emptyReads, emptyReadsUsed_)) return 0;
  const uint32_t frames = script_.packetFrames;
  buffer_.resize(static_cast<size_t>(frames) * kAudioChannels);
  while (now >= DueTime(nextFrame_)) {
    int64_t start = FrameTime(nextFrame_) - epoch_;
    if (!InAny(script_.gaps, start)) {
      DevicePacket packet;
      packet.frames = frames;
      packet.silent = InAny(script_.silentPackets, start);
      for (uint32_t i = 0; i < frames; ++i) {
        // A silent packet carries junk that must never reach the ring.
        const int64_t t = FrameTime(nextFrame_ + i);
        const int64_t burstOrigin = script_.burstOrigin >= 0 ? script_.burstOrigin : epoch_;
        float value = packet.silent ? 0.75f : SignalAt(script_, t - epoch_, t - burstOrigin);
        buffer_[i * 2] = value;
        buffer_[i * 2 + 1] = value;
      }
      packet.samples = buffer_.data();
      int64_t stamp = start + epoch_;
      for (const auto& shift : script_.stampShifts) {
        if (shift.window.Contains(start)) stamp += shift.offset;
      }
      packet.devicePosition = InAny(script_.missingTimestamps, start) ? 0 : static_cast<uint64_t>(stamp);
      sink(packet);
    }
    nextFrame_ += frames;
  }
  return 0;
}

}  // namespace kp
