#include "app/pcm_wav.h"

#include <cstring>

namespace kp {

void AppendLe16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void AppendLe32(std::vector<uint8_t>& out, uint32_t value) {
  AppendLe16(out, value & 0xFFFF);
  AppendLe16(out, value >> 16);
}

namespace {

void PutTag(std::vector<uint8_t>& out, const char* tag) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(tag[i]));
}

uint32_t GetU16(const uint8_t* p) { return p[0] | static_cast<uint32_t>(p[1]) << 8; }

uint32_t GetU32(const uint8_t* p) { return GetU16(p) | GetU16(p + 2) << 16; }

bool IsTag(const uint8_t* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

constexpr uint32_t kMaxChannels = 8;
constexpr uint32_t kMaxRate = 384000;

}  // namespace

std::vector<uint8_t> PcmWav(const std::vector<int16_t>& samples, uint16_t channels, uint32_t sampleRate) {
  const auto dataBytes = static_cast<uint32_t>(samples.size() * 2);
  const auto blockAlign = static_cast<uint16_t>(channels * 2);
  std::vector<uint8_t> wav;
  wav.reserve(44 + dataBytes);
  PutTag(wav, "RIFF");
  AppendLe32(wav, 36 + dataBytes);
  PutTag(wav, "WAVE");
  PutTag(wav, "fmt ");
  AppendLe32(wav, 16);
  AppendLe16(wav, 1);  // PCM
  AppendLe16(wav, channels);
  AppendLe32(wav, sampleRate);
  AppendLe32(wav, sampleRate * blockAlign);  // bytes per second
  AppendLe16(wav, blockAlign);
  AppendLe16(wav, 16);  // bits per sample
  PutTag(wav, "data");
  AppendLe32(wav, dataBytes);
  for (int16_t sample : samples) AppendLe16(wav, static_cast<uint16_t>(sample));
  return wav;
}

std::optional<PcmSound> ReadPcmWav(const std::vector<uint8_t>& wav) {
  if (wav.size() < 12 || !IsTag(wav.data(), "RIFF") || !IsTag(wav.data() + 8, "WAVE")) return std::nullopt;
  PcmSound sound;
  size_t at = 12;
  while (wav.size() - at >= 8) {
    const uint8_t* chunk = wav.data() + at;
    const size_t size = GetU32(chunk + 4);
    const uint8_t* body = chunk + 8;
    if (size > wav.size() - at - 8) return std::nullopt;
    if (IsTag(chunk, "fmt ")) {
      if (size < 16) return std::nullopt;
      const uint32_t format = GetU16(body), channels = GetU16(body + 2), rate = GetU32(body + 4);
      const uint32_t blockAlign = GetU16(body + 12), bits = GetU16(body + 14);
      if (format != 1 || bits != 16 || channels > kMaxChannels || rate == 0 || rate > kMaxRate ||
          blockAlign != channels * 2) {
        return std::nullopt;
      }
      sound.channels = static_cast<uint16_t>(channels);
      sound.sampleRate = rate;
    } else if (IsTag(chunk, "data")) {
      if (sound.channels == 0) return std::nullopt;  // no format (with channels) before the samples
      const size_t frameBytes = sound.channels * 2u;
      sound.samples.resize(size / frameBytes * sound.channels);
      for (size_t i = 0; i < sound.samples.size(); ++i) {
        sound.samples[i] = static_cast<int16_t>(GetU16(body + 2 * i));
      }
      return sound;
    }
    at += 8 + size + (size & 1);
    if (at > wav.size()) break;
  }
  return std::nullopt;
}

}  // namespace kp
