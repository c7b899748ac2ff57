#include "config/settings.h"

#include <gtest/gtest.h>

#include <string>

#include "config/json_parser.h"
#include "config/json_writer.h"
#include "support/fake_clock.h"
#include "support/fault_files.h"
#include "support/temp_folder.h"

namespace kp {
namespace {

using test::FaultFiles;
using test::ReadFileBytes;
using test::WriteFileBytes;

// The defaults, key by key in file order; the two-space layout around them
// is the JSON writer's own, pinned by its tests.
std::string DefaultFile() {
  return SerializeJson(*ParseJson(
      R"({"version":1,"replay":{"enabled":true,"bufferSeconds":300,"folder":"","bufferFolder":""},)"
      R"("video":{"monitor":"primary","resolution":"native","fps":60,"codec":"h264","encoder":"auto",)"
      R"("rateControl":"quality","quality":"high","bitrateMbps":30,"encoderPreset":"balanced","showCursor":true},)"
      R"("audio":{"desktop":{"enabled":true,"device":"default","volume":100},)"
      R"("microphone":{"enabled":false,"device":"default","volume":100},"tracks":"mixed+separate","bitrateKbps":160},)"
      R"("hotkeys":{"saveReplay":"Alt+F10","toggleReplay":"Alt+F9"},"notifications":{"sound":true,"toast":true},)"
      R"("general":{"language":"ko","startWithWindows":true}})"));
}

Settings NonDefaultSettings() {
  Settings s;
  s.replayEnabled = s.showCursor = s.notifySound = s.notifyToast = s.startWithWindows = false;
  s.bufferSeconds = 45, s.resolution = 1440, s.fps = 144, s.bitrateMbps = 500, s.audioBitrateKbps = 96;
  s.folder = L"D:\\Clips \xD074\xB9BD", s.bufferFolder = L"E:\\buffer", s.monitor = L"\\\\.\\DISPLAY2";
  s.codec = "hevc", s.encoder = "nvenc", s.rateControl = "bitrate", s.quality = "ultra";
  s.encoderPreset = "performance", s.tracks = "separate", s.language = "en";
  s.desktop = {false, L"{0.0.0.00000000}.{1234}", 0};
  s.microphone = {true, L"mic \"quoted\"", 200};
  s.saveReplayHotkey = "Ctrl+Shift+S", s.toggleReplayHotkey = "";
  return s;
}

class SettingsTest : public ::testing::Test {
 protected:
  // Loads `json` from the file; expects success.
  Settings Load(const std::string& json) {
    WriteFileBytes(path, json);
    Settings settings;
    std::string error;
    EXPECT_TRUE(LoadSettings(path, &settings, &error)) << json << ": " << error;
    return settings;
  }

  test::TempFolder folder;
  std::wstring path = folder.File(L"settings.json");
};

TEST_F(SettingsTest, SavedDefaultsHaveTheExactLayoutAndCreateTheFolderChain) {
  const std::wstring deep = folder.File(L"a") + L"/b/settings.json";
  ASSERT_TRUE(SaveSettings(deep, Settings()));
  EXPECT_EQ(ReadFileBytes(deep), DefaultFile());
  EXPECT_FALSE(test::FileExists(deep + L".tmp"));
  // A backslash is part of a POSIX file name: no folder "c" appears for it.
  ASSERT_TRUE(SaveSettings(folder.File(L"c\\d.json"), Settings()));
  EXPECT_FALSE(test::FileExists(folder.File(L"c")));
}

TEST_F(SettingsTest, SaveThenLoadKeepsEveryFieldAndDropsUnknownKeys) {
  ASSERT_TRUE(SaveSettings(path, NonDefaultSettings()));
  EXPECT_EQ(Load(ReadFileBytes(path)), NonDefaultSettings());
  EXPECT_NE(ReadFileBytes(path).find("\"folder\": \"D:\\\\Clips \xED\x81\xB4\xEB\xA6\xBD\""), std::string::npos);

  Settings expected;
  expected.fps = 30;
  Settings loaded = Load("\xEF\xBB\xBF{\"extra\":1,\"video\":{\"fps\":30,\"hdr\":true},\"audio\":{\"desktop\":{\"gain\":3}}}");
  EXPECT_EQ(loaded, expected);
  ASSERT_TRUE(SaveSettings(path, loaded));
  EXPECT_EQ(ReadFileBytes(path).find("extra"), std::string::npos);
}

// Missing and unopenable files load the defaults and succeed; a file that
// does not parse, or is no object, fails with the parser's text and defaults.
TEST_F(SettingsTest, UnreadableFilesGiveDefaults) {
  const struct {
    const char* json;  // null: no file
    bool unopenable;
    bool ok;
    std::string error;
  } rows[] = {
      {nullptr, false, true, ""},
      {"{\"video\":{\"fps\":30}}", true, true, ""},
      {"", false, false, "unexpected end of input at offset 0"},
      {"[]", false, false, "settings root is not an object"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.json ? row.json : "no file");
    SystemFiles().Delete(path);
    if (row.json) WriteFileBytes(path, row.json);
    FaultFiles files;
    if (row.unopenable) files.FailOpenForRead(L"settings.json", kErrorAccessDenied);
    Settings settings = NonDefaultSettings();
    std::string error;
    EXPECT_EQ(LoadSettings(path, &settings, &error, files), row.ok);
    EXPECT_EQ(error, row.error);
    EXPECT_EQ(settings, Settings());
  }
  Settings settings;
  std::string error = "earlier";
  EXPECT_FALSE(LoadSettings(path, &settings, &error));
  EXPECT_EQ(error, "earlier");  // the root text fills an empty error only
}

TEST_F(SettingsTest, NumbersAreClampedToTheirRangesThenTruncated) {
  const struct {
    std::string json;
    int32_t Settings::*field;
    int32_t expected;
  } rows[] = {
      {R"({"replay":{"bufferSeconds":9.99}})", &Settings::bufferSeconds, 10},
      {R"({"replay":{"bufferSeconds":3601}})", &Settings::bufferSeconds, 3600},
      {R"({"replay":{"bufferSeconds":"60"}})", &Settings::bufferSeconds, 300},
      {R"({"video":{"fps":9}})", &Settings::fps, 10},        {R"({"video":{"fps":241}})", &Settings::fps, 240},
      {R"({"video":{"fps":59.94}})", &Settings::fps, 59},
      {R"({"video":{"bitrateMbps":0}})", &Settings::bitrateMbps, 1},
      {R"({"video":{"bitrateMbps":500.5}})", &Settings::bitrateMbps, 500},
      {R"({"audio":{"bitrateKbps":95}})", &Settings::audioBitrateKbps, 96},
      {R"({"audio":{"bitrateKbps":193}})", &Settings::audioBitrateKbps, 192},
      {R"({"video":{"resolution":"2160p"}})", &Settings::resolution, 2160},
      {R"({"video":{"resolution":"720p"}})", &Settings::resolution, 720},
      {R"({"video":{"resolution":1080}})", &Settings::resolution, 0},
  };
  for (const auto& row : rows) EXPECT_EQ(Load(row.json).*row.field, row.expected) << row.json;
  Settings volumes = Load(R"({"audio":{"desktop":{"volume":-1},"microphone":{"volume":201}}})");
  EXPECT_EQ(volumes.desktop.volume, 0);
  EXPECT_EQ(volumes.microphone.volume, 200);
}

// A choice is taken only when spelled exactly; a value of the wrong type
// leaves the default.
TEST_F(SettingsTest, TextsAndBoolsFallBackUnlessExactlyAllowed) {
  Settings expected;
  expected.showCursor = false;
  expected.saveReplayHotkey = "not a hotkey";
  EXPECT_EQ(Load(R"({"replay":{"enabled":0,"folder":5},"video":{"codec":"H264","showCursor":false,"monitor":""},)"
                 R"("audio":{"microphone":{"device":false}},"notifications":{"sound":"false"},)"
                 R"("general":{"language":"EN"},"hotkeys":{"saveReplay":"not a hotkey","toggleReplay":7}})"),
            expected);
  EXPECT_EQ(Load(R"({"video":[1,2],"audio":"x","version":"new"})"), Settings());
}

TEST_F(SettingsTest, FailedSaveLeavesTheOldFileAndNoTemporary) {
  WriteFileBytes(path, "{}");
  FaultFiles files;
  files.FailWritesAfter(L"settings.json.tmp", 100);
  EXPECT_FALSE(SaveSettings(path, NonDefaultSettings(), files));
  EXPECT_EQ(ReadFileBytes(path), "{}");
  EXPECT_FALSE(test::FileExists(path + L".tmp"));
  // A sync client holding the file for a moment only delays the save.
  files.ClearFaults();
  files.FailRename(L"settings.json", kErrorSharingViolation, 2);
  test::FakeClock clock;
  EXPECT_TRUE(SaveSettings(path, NonDefaultSettings(), files, clock));
  EXPECT_NE(ReadFileBytes(path), "{}");
}

}  // namespace
}  // namespace kp
