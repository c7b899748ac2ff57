// The user's settings record and its JSON file. Loading never leaves the
// record half-filled: each field that cannot be taken from the file keeps
// its default, out-of-range numbers are clamped, and unknown keys are
// ignored (and therefore not written back by a later save).
#pragma once

#include <cstdint>
#include <string>

#include "platform/files.h"

namespace kp {

struct AudioDeviceSettings {
  bool enabled = true;
  // The capture endpoint's identifier, or "default".
  std::wstring device = L"default";
  // Percent, 0..200.
  int32_t volume = 100;

  bool operator==(const AudioDeviceSettings&) const = default;
};

struct Settings {
  // replay
  bool replayEnabled = true;
  int32_t bufferSeconds = 300;  // 10..3600
  std::wstring folder;          // empty: the default clip folder
  std::wstring bufferFolder;    // empty: the default buffer folder
  // video
  std::wstring monitor = L"primary";
  int32_t resolution = 0;  // output line count: 2160, 1440, 1080, 720; 0 = native
  int32_t fps = 60;        // 10..240
  std::string codec = "h264";               // "h264", "hevc", "av1"
  std::string encoder = "auto";             // "auto", "nvenc", "hardware"
  std::string rateControl = "quality";      // "quality", "bitrate"
  std::string quality = "high";             // "low", "medium", "high", "ultra"
  int32_t bitrateMbps = 30;                 // 1..500
  std::string encoderPreset = "balanced";   // "performance", "balanced", "quality"
  bool showCursor = true;
  // audio
  AudioDeviceSettings desktop{true, L"default", 100};
  AudioDeviceSettings microphone{false, L"default", 100};
  std::string tracks = "mixed+separate";  // "mixed", "separate", "mixed+separate"
  int32_t audioBitrateKbps = 160;         // 96..192
  // hotkeys: free text, validated where they are registered
  std::string saveReplayHotkey = "Alt+F10";
  std::string toggleReplayHotkey = "Alt+F9";
  // notifications
  bool notifySound = true;
  bool notifyToast = true;
  // general
  std::string language = "ko";  // "ko", "en"
  bool startWithWindows = true;

  bool operator==(const Settings&) const = default;
};

// Fills `*out` from the settings file at `path`. The record is reset to the
// defaults first. A missing, unopenable or unreadable file (or a folder) is
// not an error: true with the defaults. Invalid JSON or a root that is not an
// object returns false with the reason in `*error` (when given) and leaves
// the defaults in place. Bad values of single keys never fail the load.
bool LoadSettings(const std::wstring& path, Settings* out, std::string* error = nullptr,
                  Files& files = SystemFiles());

// The text of a settings file, read by the caller: LoadSettings without the
// file, for callers that treat a file they cannot open differently (the
// engine's reload keeps the settings in force then).
bool ParseSettings(const std::string& bytes, Settings* out, std::string* error = nullptr);

// Writes every known key in the fixed layout, creating the parent folder
// chain when needed. The file is replaced atomically: on failure the old
// file is untouched and no temporary file remains.
// The final rename rides out brief sharing violations (WriteFileAtomically).
bool SaveSettings(const std::wstring& path, const Settings& settings, Files& files = SystemFiles(),
                  Clock& clock = SystemClock());

// 0 gives "native", any other line count its digits followed by "p".
std::string ResolutionText(int32_t lines);

}  // namespace kp
