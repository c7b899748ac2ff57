// The host's decisions against a scripted engine and a recording shell on a
// deterministic clock: reload timing and effects, hotkeys, notifications
// and sounds, the tray's status, the menu and what its commands launch.
#include "app/host_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/state_icon.h"
#include "fake_host_shell.h"
#include "platform/text.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

namespace kp {
namespace {

class ScriptedEngine : public EngineControl {
 public:
  void ApplySettings(const Settings& s) override {
    applied.push_back(s);
    replayEnabled = s.replayEnabled;
  }
  void SetReplayEnabled(bool on) override { replayEnabled = on; }
  bool ReplayEnabled() const override { return replayEnabled; }
  bool RequestSave() override { return saveOk; }
  Engine::Status GetStatus() const override {
    Engine::Status s = status;
    s.captureRunning = s.captureRunning && replayEnabled;
    return s;
  }
  void Shutdown() override { ++shutdowns; }

  std::vector<Settings> applied;
  bool replayEnabled = false;
  bool saveOk = true;
  Engine::Status status{true, true, 0.0, false, 0, 0.0};
  int shutdowns = 0;
};

class HostCoreTest : public ::testing::Test {
 protected:
  HostCoreTest() {
    settings.language = "en";
    SaveSettings(settingsPath, settings);
  }

  void Start(const std::string& loadError = "") {
    core = std::make_unique<HostCore>(shell, engine, SystemFiles(), settingsPath, settings);
    core->Start(loadError);
  }
  std::vector<std::string> Notifications() {
    std::vector<std::string> out;
    for (const std::string& call : shell.TakeCalls()) {
      if (call.rfind("notify ", 0) == 0) out.push_back(call.substr(7));
    }
    return out;
  }
  void Rewrite(void (*change)(Settings&)) {
    Settings s = settings;
    change(s);
    ASSERT_TRUE(SaveSettings(settingsPath, s));
  }

  test::TempFolder temp;
  std::wstring settingsPath = temp.File(L"settings.json");
  test::FakeClock clock;
  test::FakeHostShell shell{clock};
  ScriptedEngine engine;
  Settings settings;
  test::LogCapture log;
  std::unique_ptr<HostCore> core;
};

TEST_F(HostCoreTest, FolderChangesReloadOnce300MsAfterTheLastAndOnlyWhenTheFileChanged) {
  Start();
  ASSERT_EQ(engine.applied.size(), 1u);

  // Another file of the folder: one read, nothing else.
  test::WriteFileBytes(temp.File(L"other.txt"), "x");
  core->OnFolderChanged();
  shell.RunFor(*core, 1000);
  EXPECT_EQ(engine.applied.size(), 1u);
  EXPECT_EQ(log.CountStartingWith("settings: "), 0);

  // Two writes 200 ms apart: one reload, 300 ms after the second.
  Rewrite([](Settings& s) { s.bufferSeconds = 60; });
  core->OnFolderChanged();
  shell.RunFor(*core, 200);
  Rewrite([](Settings& s) { s.bufferSeconds = 90; });
  core->OnFolderChanged();
  shell.RunFor(*core, 299);
  EXPECT_EQ(engine.applied.size(), 1u);
  shell.RunFor(*core, 1);
  ASSERT_EQ(engine.applied.size(), 2u);
  EXPECT_EQ(engine.applied.back().bufferSeconds, 90);
  EXPECT_EQ(log.CountStartingWith("settings: reloaded"), 1);
  shell.RunFor(*core, 2000);  // the one-shot does not come back
  EXPECT_EQ(engine.applied.size(), 2u);
  EXPECT_EQ(log.CountStartingWith("settings: reloaded"), 1);
}

TEST_F(HostCoreTest, ReloadReRegistersHotkeysOnlyWhenTheirTextChangedAndSwitchesLanguage) {
  struct Row {
    const char* name;
    void (*change)(Settings&);
    bool reRegisters;
    const char* tooltip;  // the new tooltip, or null when the icon must not be touched
  };
  const Row rows[] = {
      {"notifications only", [](Settings& s) { s.notifySound = false; }, false, nullptr},
      {"save hotkey", [](Settings& s) { s.saveReplayHotkey = "Ctrl+F10"; }, true,
       "Kaptora\nReplay recording · last 0:00\nSave clip: Ctrl+F10"},
      {"toggle hotkey", [](Settings& s) { s.toggleReplayHotkey = "F9"; }, true, nullptr},
      {"language", [](Settings& s) { s.language = "ko"; }, false, "Kaptora\n리플레이 녹화 중 · 최근 0:00\n클립 저장: Alt+F10"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(SaveSettings(settingsPath, settings));
    Start();
    shell.TakeCalls();
    Rewrite(row.change);
    core->ReloadSettings();
    const std::vector<std::string> calls = shell.TakeCalls();
    const auto registers = std::count_if(calls.begin(), calls.end(),
                                         [](const std::string& c) { return c.rfind("register ", 0) == 0; });
    EXPECT_EQ(registers, row.reRegisters ? 2 : 0);
    const auto modifies = std::count_if(calls.begin(), calls.end(),
                                        [](const std::string& c) { return c.rfind("modify ", 0) == 0; });
    EXPECT_EQ(modifies, row.tooltip ? 1 : 0);
    if (row.tooltip) {
      EXPECT_EQ(calls.back(), std::string("modify 0 ") + row.tooltip);
    }
  }
}

TEST_F(HostCoreTest, FailedHotkeysAreLoggedEachAndListedInOneNotification) {
  settings.saveReplayHotkey = "Alt+";
  settings.toggleReplayHotkey = "Alt+F9";
  shell.takenHotkeys = {{kModAlt, 0x78}};
  Start();
  EXPECT_TRUE(log.Has("hotkey: cannot register 'Alt+' (invalid)"));
  EXPECT_TRUE(log.Has("hotkey: cannot register 'Alt+F9' (in use by another program)"));
  EXPECT_EQ(Notifications(), (std::vector<std::string>{
                                 "Couldn't register hotkey | Alt+, Alt+F9 is used by another program. Change it in "
                                 "settings."}));
}

TEST_F(HostCoreTest, UnreadableSettingsNotifyAtStartAndOnReloadKeepTheSettingsInForce) {
  Start("JSON: unexpected character at offset 3");
  EXPECT_EQ(Notifications(),
            (std::vector<std::string>{"Couldn't read the settings file | JSON: unexpected character at offset 3"}));
  test::WriteFileBytes(settingsPath, "{ nope");
  core->ReloadSettings();
  EXPECT_EQ(Notifications(),
            (std::vector<std::string>{"Couldn't read the settings file | Recording continues with the previous "
                                      "settings."}));
  EXPECT_EQ(engine.applied.size(), 1u);
  EXPECT_EQ(log.CountStartingWith("settings: "), 1);
}

TEST_F(HostCoreTest, SoundsAndNotificationsFollowTheSettingsButTheUpdateNoticeAlwaysShows) {
  struct Row {
    const char* name;
    bool sound;
    bool toast;
    std::vector<std::string> expected;  // sound and notification calls, in order
  };
  const Row rows[] = {
      {"both on", true, true,
       {"wave", "notify Couldn't save clip | Nothing recorded yet.", "save sound", "wave",
        "notify Couldn't save clip | Check disk space and the clip folder.",
        "notify Clip saved | 5:00 · Kaptora_1.mp4", "notify Update available | Kaptora 2.0.0 is out. Click to update."}},
      {"notifications off", true, false,
       {"wave", "save sound", "wave", "notify Update available | Kaptora 2.0.0 is out. Click to update."}},
      {"all off", false, false, {"notify Update available | Kaptora 2.0.0 is out. Click to update."}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    settings.notifySound = row.sound;
    settings.notifyToast = row.toast;
    Start();
    shell.TakeCalls();
    engine.saveOk = false;
    core->RequestSaveFromUser();  // nothing buffered
    engine.saveOk = true;
    core->RequestSaveFromUser();
    const PostFunction post = shell.Poster();
    ASSERT_TRUE(PostSaveFinished(post, {false, L"", 0.0}));
    ASSERT_TRUE(PostSaveFinished(post, {true, temp.File(L"Kaptora_1.mp4"), 299.6}));
    ASSERT_TRUE(PostUpdateAvailable(post, "2.0.0", "notes"));
    ASSERT_TRUE(PostUpdateAvailable(post, "2.0.0", "notes"));  // announced once
    EXPECT_EQ(shell.PumpPosted(*core), 4);
    std::vector<std::string> got;
    for (const std::string& call : shell.TakeCalls()) {
      if (call.rfind("notify ", 0) == 0 || call == "wave" || call == "save sound") got.push_back(call);
    }
    EXPECT_EQ(got, row.expected);
  }
  EXPECT_EQ(shell.lastWave, FailureSoundWav());
}

TEST_F(HostCoreTest, NotificationClicksOpenTheUpdatePageUntilASaveSucceedsThenTheClip) {
  Start();
  const PostFunction post = shell.Poster();
  const std::wstring clip = temp.File(L"Kaptora_2.mp4");
  const std::string quotedSettings = "\"" + temp.utf8() + "/settings.json\"";
  struct Step {
    const char* name;
    int post;  // 0 nothing, 1 update, 2 save ok
    std::string launch;
  };
  const Step steps[] = {
      {"nothing saved yet", 0, ""},
      {"update shown", 1, "launch notepad.exe " + quotedSettings},  // no settings application beside us
      {"saved", 2, "launch explorer.exe /select,\"" + temp.utf8() + "/Kaptora_2.mp4\""},
  };
  shell.TakeCalls();
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (step.post == 1) PostUpdateAvailable(post, "3.1", "");
    if (step.post == 2) PostSaveFinished(post, {true, clip, 10.0});
    shell.PumpPosted(*core);
    shell.TakeCalls();
    core->OnTrayEvent(TrayEvent::kBalloonClick, {});
    std::vector<std::string> launches;
    for (const std::string& call : shell.TakeCalls()) {
      if (call.rfind("launch ", 0) == 0) launches.push_back(call);
    }
    EXPECT_EQ(launches, step.launch.empty() ? std::vector<std::string>{} : std::vector<std::string>{step.launch});
  }
  // With the settings application beside the executable the update page is
  // asked for explicitly.
  shell.programFolder = temp.path();
  test::WriteFileBytes(temp.File(L"Kaptora.Settings.exe"), "");
  PostUpdateAvailable(post, "3.2", "");
  shell.PumpPosted(*core);
  shell.TakeCalls();
  core->OnTrayEvent(TrayEvent::kBalloonClick, {});
  EXPECT_EQ(shell.TakeCalls(), (std::vector<std::string>{"launch " + temp.utf8() + "/Kaptora.Settings.exe --settings " +
                                                         quotedSettings + " --page update"}));
}

TEST_F(HostCoreTest, LowSpaceIsShownOncePerEpisode) {
  Start();
  int shown = 0;
  for (bool low : {true, true, true, false, false, true, true}) {
    engine.status.lowSpace = low;
    shell.RunFor(*core, 1000);
    for (const std::string& n : Notifications()) shown += n.rfind("Buffer drive is running out of space", 0) == 0;
  }
  EXPECT_EQ(shown, 2);
}

TEST_F(HostCoreTest, TheIconIsTouchedOnlyWhenStateOrTooltipChange) {
  shell.addAccepted = false;  // no taskbar yet: every refresh retries
  Start();
  EXPECT_EQ(shell.TakeCalls().front(), "add 0 Kaptora");
  shell.RunFor(*core, 1000);
  EXPECT_EQ(shell.TakeCalls().size(), 1u);
  shell.addAccepted = true;
  engine.status.bufferedSeconds = 4.4;
  shell.RunFor(*core, 1000);
  EXPECT_EQ(shell.TakeCalls(),
            (std::vector<std::string>{"add 0 Kaptora\nReplay recording · last 0:04\nSave clip: Alt+F10"}));
  shell.RunFor(*core, 5000);  // same status each second
  EXPECT_TRUE(shell.TakeCalls().empty());

  struct Row {
    Engine::Status status;
    std::string call;
  };
  const Row rows[] = {
      {{true, false, 4.4, false, 0, 0.0}, "modify 2 Kaptora\nWaiting for screen capture (lock screen, ...)\nSave clip: Alt+F10"},
      {{false, false, 4.4, false, 1, 0.424}, "modify 1 Kaptora\nReplay paused\nSaving clip 42%\nSave clip: Alt+F10"},
      {{true, true, 61.0, false, 3, 0.5}, "modify 0 Kaptora\nReplay recording · last 1:01\nSaving clip 50% (+2)\nSave clip: Alt+F10"},
  };
  for (const Row& row : rows) {
    engine.status = row.status;
    shell.RunFor(*core, 1000);
    EXPECT_EQ(shell.TakeCalls(), std::vector<std::string>{row.call});
  }
  core->OnTaskbarCreated();  // Explorer restarted: back with the current state
  EXPECT_EQ(shell.TakeCalls(), std::vector<std::string>{"add 0 " + rows[2].call.substr(9)});

  // A tooltip is cut to 127 characters.
  Rewrite([](Settings& s) { s.saveReplayHotkey = std::string(200, 'A'); });
  core->ReloadSettings();
  for (const std::string& call : shell.TakeCalls()) {
    if (call.rfind("modify ", 0) == 0) {
      EXPECT_EQ(Utf8ToWide(call.substr(9)).size(), 127u);
    }
  }
}

TEST_F(HostCoreTest, MenuGreysSaveUntilBufferedAndRunsTheChosenCommand) {
  settings.folder = temp.File(L"clips");
  Start();
  engine.status.bufferedSeconds = 0.0;
  core->ShowTrayMenu({});
  ASSERT_EQ(shell.lastMenu.size(), 8u);
  EXPECT_EQ(shell.lastMenu[0], (MenuItem{1, L"Save clip\tAlt+F10", true, false}));
  EXPECT_EQ(shell.lastMenu[1].text, L"Pause replay");
  EXPECT_EQ(shell.lastMenu[2].command, 0);
  EXPECT_TRUE(shell.lastMenu[5].isDefault);
  engine.status.bufferedSeconds = 0.5;
  core->ShowTrayMenu({});
  EXPECT_FALSE(shell.lastMenu[0].grayed);

  const std::string notepad = "launch notepad.exe \"" + temp.utf8() + "/settings.json\"";
  struct Row {
    int choice;
    std::string call;  // among the calls the command makes
  };
  const Row rows[] = {
      {1, "save sound"},
      {2, "modify 1 Kaptora\nReplay paused\nSave clip: Alt+F10"},
      {3, "launch " + temp.utf8() + "/clips "},
      {4, notepad},
      {5, notepad},
      {6, "quit"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.choice);
    shell.TakeCalls();
    shell.menuChoice = row.choice;
    core->ShowTrayMenu({});
    const std::vector<std::string> calls = shell.TakeCalls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), row.call), calls.end()) << calls.back();
  }
  EXPECT_FALSE(engine.replayEnabled);
  EXPECT_TRUE(test::FileExists(temp.File(L"clips")));  // created before it is opened
}

}  // namespace
}  // namespace kp
