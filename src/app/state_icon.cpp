#include "app/state_icon.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kp {

namespace {

constexpr uint32_t kSampleRate = 44100;

void PutU16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  PutU16(out, value & 0xFFFF);
  PutU16(out, value >> 16);
}

void PutTag(std::vector<uint8_t>& out, const char* tag) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(tag[i]));
}

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

std::vector<uint8_t> PcmWav(const std::vector<int16_t>& samples, uint16_t channels, uint32_t sampleRate) {
  const auto dataBytes = static_cast<uint32_t>(samples.size() * 2);
  const auto blockAlign = static_cast<uint16_t>(channels * 2);
  std::vector<uint8_t> wav;
  wav.reserve(44 + dataBytes);
  PutTag(wav, "RIFF");
  PutU32(wav, 36 + dataBytes);
  PutTag(wav, "WAVE");
  PutTag(wav, "fmt ");
  PutU32(wav, 16);
  PutU16(wav, 1);  // PCM
  PutU16(wav, channels);
  PutU32(wav, sampleRate);
  PutU32(wav, sampleRate * blockAlign);  // bytes per second
  PutU16(wav, blockAlign);
  PutU16(wav, 16);  // bits per sample
  PutTag(wav, "data");
  PutU32(wav, dataBytes);
  for (int16_t sample : samples) PutU16(wav, static_cast<uint16_t>(sample));
  return wav;
}

const std::vector<uint8_t>& FailureSoundWav() {
  static const std::vector<uint8_t> wav = BuildFailureSound();
  return wav;
}

}  // namespace kp
