#include "config/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fault_files.h"
#include "support/temp_folder.h"

namespace kp {
namespace {

using test::FaultFiles;
using test::FileExists;
using test::ReadFileBytes;
using test::TempFolder;
using test::WriteFileBytes;

const char kDefaultFile[] =
    "{\n"
    "  \"version\": 1,\n"
    "  \"replay\": {\n"
    "    \"enabled\": true,\n"
    "    \"bufferSeconds\": 300,\n"
    "    \"folder\": \"\",\n"
    "    \"bufferFolder\": \"\"\n"
    "  },\n"
    "  \"video\": {\n"
    "    \"monitor\": \"primary\",\n"
    "    \"resolution\": \"native\",\n"
    "    \"fps\": 60,\n"
    "    \"codec\": \"h264\",\n"
    "    \"encoder\": \"auto\",\n"
    "    \"rateControl\": \"quality\",\n"
    "    \"quality\": \"high\",\n"
    "    \"bitrateMbps\": 30,\n"
    "    \"encoderPreset\": \"balanced\",\n"
    "    \"showCursor\": true\n"
    "  },\n"
    "  \"audio\": {\n"
    "    \"desktop\": {\n"
    "      \"enabled\": true,\n"
    "      \"device\": \"default\",\n"
    "      \"volume\": 100\n"
    "    },\n"
    "    \"microphone\": {\n"
    "      \"enabled\": false,\n"
    "      \"device\": \"default\",\n"
    "      \"volume\": 100\n"
    "    },\n"
    "    \"tracks\": \"mixed+separate\",\n"
    "    \"bitrateKbps\": 160\n"
    "  },\n"
    "  \"hotkeys\": {\n"
    "    \"saveReplay\": \"Alt+F10\",\n"
    "    \"toggleReplay\": \"Alt+F9\"\n"
    "  },\n"
    "  \"notifications\": {\n"
    "    \"sound\": true,\n"
    "    \"toast\": true\n"
    "  },\n"
    "  \"general\": {\n"
    "    \"language\": \"ko\",\n"
    "    \"startWithWindows\": true\n"
    "  }\n"
    "}\n";

// Loads `json` written to a fresh file; expects success.
Settings LoadFrom(const std::string& json) {
  TempFolder folder;
  std::wstring path = folder.File(L"settings.json");
  WriteFileBytes(path, json);
  Settings settings;
  std::string error;
  EXPECT_TRUE(LoadSettings(path, &settings, &error)) << json << ": " << error;
  return settings;
}

Settings NonDefaultSettings() {
  Settings s;
  s.replayEnabled = false;
  s.bufferSeconds = 45;
  s.folder = L"D:\\Clips \xD074\xB9BD";
  s.bufferFolder = L"E:\\buffer";
  s.monitor = L"\\\\.\\DISPLAY2";
  s.resolution = 1440;
  s.fps = 144;
  s.codec = "hevc";
  s.encoder = "nvenc";
  s.rateControl = "bitrate";
  s.quality = "ultra";
  s.bitrateMbps = 500;
  s.encoderPreset = "performance";
  s.showCursor = false;
  s.desktop = {false, L"{0.0.0.00000000}.{1234}", 0};
  s.microphone = {true, L"mic \"quoted\"", 200};
  s.tracks = "separate";
  s.audioBitrateKbps = 96;
  s.saveReplayHotkey = "Ctrl+Shift+S";
  s.toggleReplayHotkey = "";
  s.notifySound = false;
  s.notifyToast = false;
  s.language = "en";
  s.startWithWindows = false;
  return s;
}

TEST(SettingsTest, SavedDefaultsHaveTheExactLayout) {
  TempFolder folder;
  std::wstring path = folder.File(L"settings.json");
  ASSERT_TRUE(SaveSettings(path, Settings()));
  EXPECT_EQ(ReadFileBytes(path), kDefaultFile);
  EXPECT_FALSE(FileExists(path + L".tmp"));
}

TEST(SettingsTest, MissingFileOrFolderGivesDefaultsAndSuccess) {
  TempFolder folder;
  Settings settings = NonDefaultSettings();
  std::string error;
  EXPECT_TRUE(LoadSettings(folder.File(L"absent.json"), &settings, &error));
  EXPECT_EQ(settings, Settings());
  EXPECT_EQ(error, "");

  settings = NonDefaultSettings();
  EXPECT_TRUE(LoadSettings(folder.path(), &settings, &error));
  EXPECT_EQ(settings, Settings());
  EXPECT_EQ(error, "");
}

TEST(SettingsTest, UnopenableFileGivesDefaultsAndSuccess) {
  TempFolder folder;
  std::wstring path = folder.File(L"settings.json");
  WriteFileBytes(path, "{\"video\":{\"fps\":30}}");
  FaultFiles files;
  files.FailOpenForRead(L"settings.json", kErrorAccessDenied);
  Settings settings = NonDefaultSettings();
  EXPECT_TRUE(LoadSettings(path, &settings, nullptr, files));
  EXPECT_EQ(settings, Settings());
}

TEST(SettingsTest, SyntaxErrorsAndNonObjectRootsFailWithDefaults) {
  TempFolder folder;
  std::wstring path = folder.File(L"settings.json");
  struct Case {
    std::string json;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"", "unexpected end of input at offset 0"},
      {"{\"video\":{\"fps\":30,}}", "expected object key at offset 19"},
      {"[]", "settings root is not an object"},
      {"\"text\"", "settings root is not an object"},
      {"null", "settings root is not an object"},
  };
  for (const Case& c : cases) {
    WriteFileBytes(path, c.json);
    Settings settings = NonDefaultSettings();
    std::string error;
    EXPECT_FALSE(LoadSettings(path, &settings, &error)) << c.json;
    EXPECT_EQ(error, c.error) << c.json;
    EXPECT_EQ(settings, Settings()) << c.json;
    EXPECT_FALSE(LoadSettings(path, &settings)) << c.json;
  }
  // The root message only fills an empty error text.
  WriteFileBytes(path, "[]");
  Settings settings;
  std::string error = "earlier";
  EXPECT_FALSE(LoadSettings(path, &settings, &error));
  EXPECT_EQ(error, "earlier");
}

TEST(SettingsTest, NumbersAreClampedThenTruncated) {
  struct Case {
    std::string json;
    int32_t Settings::*field;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {"{\"replay\":{\"bufferSeconds\":5}}", &Settings::bufferSeconds, 10},
      {"{\"replay\":{\"bufferSeconds\":99999}}", &Settings::bufferSeconds, 3600},
      {"{\"replay\":{\"bufferSeconds\":\"300\"}}", &Settings::bufferSeconds, 300},
      {"{\"replay\":{\"bufferSeconds\":\"60\"}}", &Settings::bufferSeconds, 300},
      {"{\"replay\":{\"bufferSeconds\":12.9}}", &Settings::bufferSeconds, 12},
      {"{\"replay\":{\"bufferSeconds\":1e300}}", &Settings::bufferSeconds, 3600},
      {"{\"video\":{\"fps\":1000}}", &Settings::fps, 240},
      {"{\"video\":{\"fps\":59.94}}", &Settings::fps, 59},
      {"{\"video\":{\"fps\":9.99}}", &Settings::fps, 10},
      {"{\"video\":{\"fps\":true}}", &Settings::fps, 60},
      {"{\"video\":{\"bitrateMbps\":0}}", &Settings::bitrateMbps, 1},
      {"{\"video\":{\"bitrateMbps\":-40}}", &Settings::bitrateMbps, 1},
      {"{\"video\":{\"bitrateMbps\":500.5}}", &Settings::bitrateMbps, 500},
      {"{\"audio\":{\"bitrateKbps\":320}}", &Settings::audioBitrateKbps, 192},
      {"{\"audio\":{\"bitrateKbps\":10}}", &Settings::audioBitrateKbps, 96},
      {"{\"audio\":{\"bitrateKbps\":128}}", &Settings::audioBitrateKbps, 128},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LoadFrom(c.json).*c.field, c.expected) << c.json;
  }
  Settings volumes = LoadFrom("{\"audio\":{\"desktop\":{\"volume\":-5},\"microphone\":{\"volume\":250}}}");
  EXPECT_EQ(volumes.desktop.volume, 0);
  EXPECT_EQ(volumes.microphone.volume, 200);
  EXPECT_TRUE(volumes.desktop.enabled);
  EXPECT_FALSE(volumes.microphone.enabled);
}

TEST(SettingsTest, EnumeratedTextsFallBackUnlessExactlyAllowed) {
  struct Case {
    std::string json;
    std::string Settings::*field;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"{\"video\":{\"codec\":\"H264\"}}", &Settings::codec, "h264"},
      {"{\"video\":{\"codec\":\"av1\"}}", &Settings::codec, "av1"},
      {"{\"video\":{\"quality\":\"max\"}}", &Settings::quality, "high"},
      {"{\"video\":{\"quality\":\"low\"}}", &Settings::quality, "low"},
      {"{\"video\":{\"encoder\":\"hardware\"}}", &Settings::encoder, "hardware"},
      {"{\"video\":{\"encoder\":\"nvenc \"}}", &Settings::encoder, "auto"},
      {"{\"video\":{\"rateControl\":1}}", &Settings::rateControl, "quality"},
      {"{\"video\":{\"encoderPreset\":\"quality\"}}", &Settings::encoderPreset, "quality"},
      {"{\"audio\":{\"tracks\":\"mixed\"}}", &Settings::tracks, "mixed"},
      {"{\"audio\":{\"tracks\":\"both\"}}", &Settings::tracks, "mixed+separate"},
      {"{\"general\":{\"language\":\"en\"}}", &Settings::language, "en"},
      {"{\"general\":{\"language\":\"EN\"}}", &Settings::language, "ko"},
      {"{\"hotkeys\":{\"saveReplay\":\"not a hotkey\"}}", &Settings::saveReplayHotkey, "not a hotkey"},
      {"{\"hotkeys\":{\"saveReplay\":\"\"}}", &Settings::saveReplayHotkey, ""},
      {"{\"hotkeys\":{\"toggleReplay\":7}}", &Settings::toggleReplayHotkey, "Alt+F9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LoadFrom(c.json).*c.field, c.expected) << c.json;
  }
}

TEST(SettingsTest, BoolsRequireTheBoolType) {
  Settings s = LoadFrom(
      "{\"replay\":{\"enabled\":0},\"video\":{\"showCursor\":false},"
      "\"notifications\":{\"sound\":\"false\",\"toast\":false},\"general\":{\"startWithWindows\":null}}");
  EXPECT_TRUE(s.replayEnabled);
  EXPECT_FALSE(s.showCursor);
  EXPECT_TRUE(s.notifySound);
  EXPECT_FALSE(s.notifyToast);
  EXPECT_TRUE(s.startWithWindows);
}

TEST(SettingsTest, ResolutionTextMapsToLineCounts) {
  const std::vector<std::pair<std::string, int32_t>> cases = {
      {"\"2160p\"", 2160}, {"\"1440p\"", 1440}, {"\"1080p\"", 1080}, {"\"720p\"", 720},
      {"\"native\"", 0},   {"\"1080\"", 0},     {"\"4k\"", 0},       {"1080", 0},
  };
  for (const auto& [value, lines] : cases) {
    EXPECT_EQ(LoadFrom("{\"video\":{\"resolution\":" + value + "}}").resolution, lines) << value;
  }
  EXPECT_EQ(ResolutionText(1080), "1080p");
  EXPECT_EQ(ResolutionText(0), "native");
  EXPECT_EQ(ResolutionText(480), "480p");
}

TEST(SettingsTest, EmptyOrMissingTextsBecomeTheirDefaults) {
  Settings s = LoadFrom(
      "{\"replay\":{\"folder\":5,\"bufferFolder\":\"\"},\"video\":{\"monitor\":\"\"},"
      "\"audio\":{\"desktop\":{\"device\":\"\"},\"microphone\":{\"device\":false}}}");
  EXPECT_EQ(s.monitor, L"primary");
  EXPECT_EQ(s.desktop.device, L"default");
  EXPECT_EQ(s.microphone.device, L"default");
  EXPECT_EQ(s.folder, L"");
  EXPECT_EQ(s.bufferFolder, L"");
  // Sections of the wrong type are as good as absent.
  EXPECT_EQ(LoadFrom("{\"video\":[1,2],\"audio\":\"x\",\"version\":\"new\"}"), Settings());
}

TEST(SettingsTest, SaveThenLoadKeepsEveryField) {
  TempFolder folder;
  std::wstring path = folder.File(L"settings.json");
  Settings original = NonDefaultSettings();
  ASSERT_TRUE(SaveSettings(path, original));
  Settings loaded;
  ASSERT_TRUE(LoadSettings(path, &loaded));
  EXPECT_EQ(loaded, original);
  std::string bytes = ReadFileBytes(path);
  EXPECT_NE(bytes.find("\"resolution\": \"1440p\""), std::string::npos);
  EXPECT_NE(bytes.find("\"folder\": \"D:\\\\Clips \xED\x81\xB4\xEB\xA6\xBD\""), std::string::npos);
}

TEST(SettingsTest, UnknownKeysAreIgnoredAndNotWrittenBack) {
  TempFolder folder;
  std::wstring path = folder.File(L"settings.json");
  WriteFileBytes(path,
                 "\xEF\xBB\xBF{\"extra\":{\"x\":1},\"video\":{\"fps\":30,\"hdr\":true},"
                 "\"audio\":{\"desktop\":{\"gain\":3}}}");
  Settings settings;
  ASSERT_TRUE(LoadSettings(path, &settings));
  Settings expected;
  expected.fps = 30;
  EXPECT_EQ(settings, expected);
  ASSERT_TRUE(SaveSettings(path, settings));
  std::string bytes = ReadFileBytes(path);
  EXPECT_EQ(bytes.find("extra"), std::string::npos);
  EXPECT_EQ(bytes.find("hdr"), std::string::npos);
  EXPECT_EQ(bytes.find("gain"), std::string::npos);
  EXPECT_NE(bytes.find("\"fps\": 30,"), std::string::npos);
}

TEST(SettingsTest, SaveCreatesTheParentFolderChain) {
  TempFolder folder;
  std::wstring path = folder.File(L"a") + L"/b/settings.json";
  ASSERT_TRUE(SaveSettings(path, Settings()));
  EXPECT_EQ(ReadFileBytes(path), kDefaultFile);
}

#ifndef _WIN32
// On POSIX a backslash is an ordinary character: "a\\b.json" is one file
// name, and no folder "a" may appear for it.
TEST(SettingsTest, BackslashIsPartOfTheFileNameOnPosix) {
  TempFolder folder;
  ASSERT_TRUE(SaveSettings(folder.File(L"a\\b.json"), Settings()));
  EXPECT_EQ(ReadFileBytes(folder.File(L"a\\b.json")), kDefaultFile);
  EXPECT_FALSE(FileExists(folder.File(L"a")));
}
#endif

TEST(SettingsTest, FailedSaveLeavesTheOldFileAndNoTemporary) {
  TempFolder folder;
  std::wstring path = folder.File(L"settings.json");
  const std::string old = "{\"video\":{\"fps\":30}}";
  struct Fault {
    const char* name;
    void (*inject)(FaultFiles&);
  };
  const Fault faults[] = {
      {"rename", [](FaultFiles& f) { f.FailRename(L"settings.json"); }},
      {"create", [](FaultFiles& f) { f.FailCreate(L"settings.json.tmp"); }},
      {"short write", [](FaultFiles& f) { f.FailWritesAfter(L"settings.json.tmp", 100); }},
  };
  for (const Fault& fault : faults) {
    WriteFileBytes(path, old);
    FaultFiles files;
    fault.inject(files);
    EXPECT_FALSE(SaveSettings(path, NonDefaultSettings(), files)) << fault.name;
    EXPECT_EQ(ReadFileBytes(path), old) << fault.name;
    EXPECT_FALSE(FileExists(path + L".tmp")) << fault.name;
  }
  // Without faults the same seam writes the file.
  FaultFiles files;
  EXPECT_TRUE(SaveSettings(path, Settings(), files));
  EXPECT_EQ(ReadFileBytes(path), kDefaultFile);
}

}  // namespace
}  // namespace kp
