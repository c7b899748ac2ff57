#include "audio/audio_config.h"

#include <utility>

#include "audio/aac_encoder.h"
#include "audio/audio_format.h"
#include "config/settings.h"

namespace kp {

AudioConfig MakeAudioConfig(const Settings& settings) {
  AudioConfig config;
  config.desktopEnabled = settings.desktop.enabled;
  config.desktopDevice = settings.desktop.device;
  config.desktopVolume = static_cast<float>(settings.desktop.volume) / 100.0f;
  config.microphoneEnabled = settings.microphone.enabled;
  config.microphoneDevice = settings.microphone.device;
  config.microphoneVolume = static_cast<float>(settings.microphone.volume) / 100.0f;
  config.trackLayout = settings.tracks;
  config.bitrateKbps = settings.audioBitrateKbps < 0 ? 0u : static_cast<uint32_t>(settings.audioBitrateKbps);
  return config;
}

std::vector<TrackKind> BuildTrackKinds(const AudioConfig& config) {
  if (config.desktopEnabled && !config.microphoneEnabled) return {TrackKind::kDesktop};
  if (!config.desktopEnabled && config.microphoneEnabled) return {TrackKind::kMicrophone};
  if (!config.desktopEnabled) return {};
  if (config.trackLayout == "mixed") return {TrackKind::kMixed};
  if (config.trackLayout == "separate") return {TrackKind::kDesktop, TrackKind::kMicrophone};
  return {TrackKind::kMixed, TrackKind::kDesktop, TrackKind::kMicrophone};
}

const char* TrackName(TrackKind kind) {
  switch (kind) {
    case TrackKind::kMixed:
      return "Desktop + Microphone";
    case TrackKind::kDesktop:
      return "Desktop Audio";
    case TrackKind::kMicrophone:
      return "Microphone";
  }
  return "";
}

std::vector<AudioTrackInfo> BuildTrackInfos(const std::vector<TrackKind>& kinds) {
  std::vector<AudioTrackInfo> infos;
  for (TrackKind kind : kinds) {
    AudioTrackInfo info;
    info.name = TrackName(kind);
    info.sampleRate = static_cast<uint32_t>(kAudioSampleRate);
    info.channels = kAudioChannels;
    info.audioSpecificConfig = AacEncoder::AudioSpecificConfig();
    infos.push_back(std::move(info));
  }
  return infos;
}

}  // namespace kp
