#include "app/state_icon.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "app/pcm_wav.h"

namespace kp {

namespace {

constexpr uint32_t kSampleRate = 44100;

void AppendTone(std::vector<int16_t>& samples, double frequency, double seconds) {
  const auto n = static_cast<int64_t>(seconds * kSampleRate);
  for (int64_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / kSampleRate;
    const double x = 2.0 * std::numbers::pi * frequency * t;
    const double s = (std::sin(x) + 0.25 * std::sin(2.0 * x)) / 1.25;
    const double attack = std::min(t / 0.004, 1.0);
    samples.push_back(static_cast<int16_t>(s * attack * std::exp(-9.0 * t) * 0.4 * 32767.0));
  }
}

std::vector<uint8_t> BuildFailureSound() {
  std::vector<int16_t> samples;
  AppendTone(samples, 440.0, 0.14);
  AppendTone(samples, 329.6, 0.3);
  return PcmWav(samples, 1, kSampleRate);
}

// A note with a 3 ms attack and an exponential decay, zero before `start`.
double Note(double t, double start, double frequency, double decay) {
  const double u = t - start;
  if (u < 0) return 0.0;
  const double x = 2.0 * std::numbers::pi * frequency * u;
  return (std::sin(x) + 0.2 * std::sin(2.0 * x)) / 1.2 * std::min(u / 0.003, 1.0) * std::exp(-decay * u);
}

std::vector<uint8_t> BuildSaveSound() {
  constexpr uint32_t kRate = 48000;
  constexpr double kSeconds = 0.29;
  constexpr double kFade = 0.02;
  const auto n = static_cast<int>(kSeconds * kRate);
  std::vector<int16_t> samples;
  samples.reserve(static_cast<size_t>(n) * 2);
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double fade = std::min((kSeconds - t) / kFade, 1.0);
    const double mix = 0.55 * Note(t, 0.0, 880.0, 16.0) + 0.55 * Note(t, 0.075, 1318.5, 12.0);
    const auto sample = static_cast<int16_t>(mix * fade * 0.5 * 32767.0);
    samples.push_back(sample);  // left
    samples.push_back(sample);  // right
  }
  return PcmWav(samples, 2, kRate);
}

}  // namespace

IconColour StateColour(TrayState state) {
  switch (state) {
    case TrayState::kRecording: return {229, 72, 77};
    case TrayState::kPaused: return {139, 141, 152};
    case TrayState::kWaiting: return {245, 165, 36};
  }
  return {229, 72, 77};
}

std::vector<uint8_t> StateIconPixels(int size, IconColour colour) {
  std::vector<uint8_t> pixels(static_cast<size_t>(size) * size * 4);
  const double half = size / 2.0;
  auto mix = [](uint8_t c, double a) { return static_cast<uint8_t>(255.0 + (c - 255.0) * a); };
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      const double d = std::hypot(x + 0.5 - half, y + 0.5 - half);
      const double a = std::clamp(0.36 * size - d + 0.5, 0.0, 1.0);
      const double b = std::clamp(0.47 * size - d + 0.5, 0.0, 1.0);
      uint8_t* p = &pixels[(static_cast<size_t>(y) * size + x) * 4];
      p[0] = mix(colour.blue, a);
      p[1] = mix(colour.green, a);
      p[2] = mix(colour.red, a);
      p[3] = static_cast<uint8_t>(255.0 * b);
    }
  }
  return pixels;
}

const std::vector<uint8_t>& FailureSoundWav() {
  static const std::vector<uint8_t> wav = BuildFailureSound();
  return wav;
}

const std::vector<uint8_t>& SaveSoundWav() {
  static const std::vector<uint8_t> wav = BuildSaveSound();
  return wav;
}

}  // namespace kp
