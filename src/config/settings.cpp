#include "config/settings.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>

#include "config/json_parser.h"
#include "config/json_value.h"
#include "config/json_writer.h"
#include "platform/path.h"
#include "platform/text.h"

namespace kp {
namespace {

void ReadBool(const JsonValue& value, bool* field) {
  if (value.type == JsonType::Bool) *field = value.boolean;
}

// Clamps first, then truncates toward zero (59.94 fps is 59).
void ReadClamped(const JsonValue& value, int32_t low, int32_t high, int32_t* field) {
  if (value.type != JsonType::Number) return;
  double clamped = std::clamp(value.number, static_cast<double>(low), static_cast<double>(high));
  *field = static_cast<int32_t>(std::trunc(clamped));
}

// Takes the text only when it is one of `allowed`, compared byte-wise.
void ReadChoice(const JsonValue& value, std::initializer_list<std::string_view> allowed, std::string* field) {
  if (value.type != JsonType::String) return;
  for (std::string_view choice : allowed) {
    if (value.text == choice) {
      *field = value.text;
      return;
    }
  }
}

void ReadText(const JsonValue& value, std::string* field) {
  if (value.type == JsonType::String) *field = value.text;
}

// A value that is not a string counts as empty.
std::wstring ReadWide(const JsonValue& value) {
  return value.type == JsonType::String ? Utf8ToWide(value.text) : std::wstring();
}

void ReadWideOrDefault(const JsonValue& value, std::wstring* field) {
  std::wstring text = ReadWide(value);
  if (!text.empty()) *field = std::move(text);
}

int32_t ReadResolution(const JsonValue& value) {
  std::string_view text = value.type == JsonType::String ? std::string_view(value.text) : "native";
  if (text == "2160p") return 2160;
  if (text == "1440p") return 1440;
  if (text == "1080p") return 1080;
  if (text == "720p") return 720;
  return 0;
}

void ReadDevice(const JsonValue& object, AudioDeviceSettings* device) {
  ReadBool(FindMember(object, "enabled"), &device->enabled);
  ReadWideOrDefault(FindMember(object, "device"), &device->device);
  ReadClamped(FindMember(object, "volume"), 0, 200, &device->volume);
}

void ApplyDocument(const JsonValue& root, Settings* s) {
  const JsonValue& replay = FindMember(root, "replay");
  ReadBool(FindMember(replay, "enabled"), &s->replayEnabled);
  ReadClamped(FindMember(replay, "bufferSeconds"), 10, 3600, &s->bufferSeconds);
  s->folder = ReadWide(FindMember(replay, "folder"));
  s->bufferFolder = ReadWide(FindMember(replay, "bufferFolder"));

  const JsonValue& video = FindMember(root, "video");
  ReadWideOrDefault(FindMember(video, "monitor"), &s->monitor);
  s->resolution = ReadResolution(FindMember(video, "resolution"));
  ReadClamped(FindMember(video, "fps"), 10, 240, &s->fps);
  ReadChoice(FindMember(video, "codec"), {"h264", "hevc", "av1"}, &s->codec);
  ReadChoice(FindMember(video, "encoder"), {"auto", "nvenc", "hardware"}, &s->encoder);
  ReadChoice(FindMember(video, "rateControl"), {"quality", "bitrate"}, &s->rateControl);
  ReadChoice(FindMember(video, "quality"), {"low", "medium", "high", "ultra"}, &s->quality);
  ReadClamped(FindMember(video, "bitrateMbps"), 1, 500, &s->bitrateMbps);
  ReadChoice(FindMember(video, "encoderPreset"), {"performance", "balanced", "quality"}, &s->encoderPreset);
  ReadBool(FindMember(video, "showCursor"), &s->showCursor);

  const JsonValue& audio = FindMember(root, "audio");
  ReadDevice(FindMember(audio, "desktop"), &s->desktop);
  ReadDevice(FindMember(audio, "microphone"), &s->microphone);
  ReadChoice(FindMember(audio, "tracks"), {"mixed", "separate", "mixed+separate"}, &s->tracks);
  ReadClamped(FindMember(audio, "bitrateKbps"), 96, 192, &s->audioBitrateKbps);

  const JsonValue& hotkeys = FindMember(root, "hotkeys");
  ReadText(FindMember(hotkeys, "saveReplay"), &s->saveReplayHotkey);
  ReadText(FindMember(hotkeys, "toggleReplay"), &s->toggleReplayHotkey);

  const JsonValue& notifications = FindMember(root, "notifications");
  ReadBool(FindMember(notifications, "sound"), &s->notifySound);
  ReadBool(FindMember(notifications, "toast"), &s->notifyToast);

  const JsonValue& general = FindMember(root, "general");
  ReadChoice(FindMember(general, "language"), {"ko", "en"}, &s->language);
  ReadBool(FindMember(general, "startWithWindows"), &s->startWithWindows);
}

JsonValue Number(int32_t value) { return JsonValue::MakeNumber(static_cast<double>(value)); }
JsonValue Text(std::string value) { return JsonValue::MakeString(std::move(value)); }
JsonValue WideText(const std::wstring& value) { return JsonValue::MakeString(WideToUtf8(value)); }

JsonValue DeviceDocument(const AudioDeviceSettings& device) {
  JsonValue object = JsonValue::MakeObject();
  SetMember(object, "enabled", JsonValue::MakeBool(device.enabled));
  SetMember(object, "device", WideText(device.device));
  SetMember(object, "volume", Number(device.volume));
  return object;
}

JsonValue BuildDocument(const Settings& s) {
  JsonValue root = JsonValue::MakeObject();
  SetMember(root, "version", Number(1));

  JsonValue& replay = SetMember(root, "replay", JsonValue::MakeObject());
  SetMember(replay, "enabled", JsonValue::MakeBool(s.replayEnabled));
  SetMember(replay, "bufferSeconds", Number(s.bufferSeconds));
  SetMember(replay, "folder", WideText(s.folder));
  SetMember(replay, "bufferFolder", WideText(s.bufferFolder));

  JsonValue& video = SetMember(root, "video", JsonValue::MakeObject());
  SetMember(video, "monitor", WideText(s.monitor));
  SetMember(video, "resolution", Text(ResolutionText(s.resolution)));
  SetMember(video, "fps", Number(s.fps));
  SetMember(video, "codec", Text(s.codec));
  SetMember(video, "encoder", Text(s.encoder));
  SetMember(video, "rateControl", Text(s.rateControl));
  SetMember(video, "quality", Text(s.quality));
  SetMember(video, "bitrateMbps", Number(s.bitrateMbps));
  SetMember(video, "encoderPreset", Text(s.encoderPreset));
  SetMember(video, "showCursor", JsonValue::MakeBool(s.showCursor));

  JsonValue& audio = SetMember(root, "audio", JsonValue::MakeObject());
  SetMember(audio, "desktop", DeviceDocument(s.desktop));
  SetMember(audio, "microphone", DeviceDocument(s.microphone));
  SetMember(audio, "tracks", Text(s.tracks));
  SetMember(audio, "bitrateKbps", Number(s.audioBitrateKbps));

  JsonValue& hotkeys = SetMember(root, "hotkeys", JsonValue::MakeObject());
  SetMember(hotkeys, "saveReplay", Text(s.saveReplayHotkey));
  SetMember(hotkeys, "toggleReplay", Text(s.toggleReplayHotkey));

  JsonValue& notifications = SetMember(root, "notifications", JsonValue::MakeObject());
  SetMember(notifications, "sound", JsonValue::MakeBool(s.notifySound));
  SetMember(notifications, "toast", JsonValue::MakeBool(s.notifyToast));

  JsonValue& general = SetMember(root, "general", JsonValue::MakeObject());
  SetMember(general, "language", Text(s.language));
  SetMember(general, "startWithWindows", JsonValue::MakeBool(s.startWithWindows));
  return root;
}

}  // namespace

bool LoadSettings(const std::wstring& path, Settings* out, std::string* error, Files& files) {
  *out = Settings();
  std::string bytes;
  // Missing, unopenable and unreadable files all leave the defaults standing.
  if (!ReadWholeFile(files, path, &bytes)) return true;
  return ParseSettings(bytes, out, error);
}

bool ParseSettings(const std::string& bytes, Settings* out, std::string* error) {
  *out = Settings();
  std::optional<JsonValue> root = ParseJson(bytes, error);
  if (!root) return false;
  if (root->type != JsonType::Object) {
    if (error != nullptr && error->empty()) *error = "settings root is not an object";
    return false;
  }
  ApplyDocument(*root, out);
  return true;
}

bool SaveSettings(const std::wstring& path, const Settings& settings, Files& files, Clock& clock) {
  std::string bytes = SerializeJson(BuildDocument(settings));
  if (path.find_first_of(kPathSeparators) != std::wstring::npos) {
    // An existing chain is fine, and a real failure shows up at the write.
    files.CreateFolderChain(ParentFolder(path));
  }
  return WriteFileAtomically(files, path, bytes, clock).Ok();
}

std::string ResolutionText(int32_t lines) {
  if (lines == 0) return "native";
  return std::to_string(lines) + "p";
}

}  // namespace kp
