// The audio settings in the form the audio pipeline runs on, and the output
// tracks they give.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/packet.h"

namespace kp {

struct Settings;

struct AudioConfig {
  bool desktopEnabled = true;
  std::wstring desktopDevice = L"default";
  float desktopVolume = 1.0f;  // gain: the setting's percentage / 100
  bool microphoneEnabled = false;
  std::wstring microphoneDevice = L"default";
  float microphoneVolume = 1.0f;
  std::string trackLayout = "mixed+separate";  // also "mixed", "separate"
  uint32_t bitrateKbps = 160;
};

AudioConfig MakeAudioConfig(const Settings& settings);

enum class TrackKind { kMixed = 0, kDesktop = 1, kMicrophone = 2 };

// The output tracks in order (a track's index is its position): desktop only
// or microphone only gives that one track whatever the layout; both give
// the mix for "mixed", desktop and microphone for "separate", and all three
// for anything else; no source gives no track.
std::vector<TrackKind> BuildTrackKinds(const AudioConfig& config);

// "Desktop + Microphone", "Desktop Audio" or "Microphone".
const char* TrackName(TrackKind kind);

// One AudioTrackInfo per track: its name, 48,000 Hz, 2 channels and the AAC
// AudioSpecificConfig.
std::vector<AudioTrackInfo> BuildTrackInfos(const std::vector<TrackKind>& kinds);

}  // namespace kp
