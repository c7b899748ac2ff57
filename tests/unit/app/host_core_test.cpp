// The host against a scripted engine and a recording shell (one line per call)
// on a deterministic clock.
#include "app/host_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/tray_status.h"
#include "platform/text.h"
#include "support/fake_clock.h"
#include "support/fault_files.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

namespace kp {
namespace {

using Calls = std::vector<std::string>;

std::string U8(const std::wstring& text) { return WideToUtf8(text); }

class FakeHostShell : public HostShell {
 public:
  explicit FakeHostShell(test::FakeClock& clock) : clock_(clock) {}
  ~FakeHostShell() override {
    for (auto& [message, payload] : posted_) FreePostedPayload(message, payload);
  }

  bool AddTrayIcon(TrayState state, const std::wstring& tip) override { return Record("add", state, tip), addAccepted; }
  bool RetakeTrayIcon(TrayState state, const std::wstring& tip) override {
    return Record("retake", state, tip), retakeAccepted;
  }
  void ModifyTrayIcon(TrayState state, const std::wstring& tip) override { Record("modify", state, tip); }
  void ShowNotification(const std::wstring& title, const std::wstring& text) override {
    calls_.push_back("notify " + U8(title) + " | " + U8(text));
  }
  void RemoveTrayIcon() override {}
  int TrackMenu(const std::vector<MenuItem>& items, ScreenPoint) override { return lastMenu = items, menuChoice; }
  void Launch(const std::wstring& program, const std::wstring& args) override {
    calls_.push_back("launch " + U8(program) + " " + U8(args));
  }
  std::wstring ProgramFolder() override { return programFolder; }
  bool PlaySaveSound() override { return calls_.push_back("save sound"), true; }
  void PlayWave(const std::vector<uint8_t>&) override { calls_.push_back("wave"); }
  bool RegisterHotkey(int id, uint32_t modifiers, uint32_t key) override {
    calls_.push_back("register " + std::to_string(id));
    return std::find(taken.begin(), taken.end(), std::pair{modifiers & ~kModNoRepeat, key}) == taken.end();
  }
  void UnregisterHotkey(int) override {}
  void StartTimer(int id, int periodMs) override {
    timers_[id] = {clock_.Now() + periodMs * kTicksPerMillisecond, periodMs * kTicksPerMillisecond};
  }
  void StopTimer(int id) override { timers_.erase(id); }
  PostFunction Poster() override {
    return [this](uint32_t message, void* payload) { return posted_.emplace_back(message, payload), true; };
  }
  void Quit() override { calls_.push_back("quit"); }

  // Moves the clock forward by `ms`, firing due timers in time order.
  void RunFor(HostCore& core, int64_t ms) {
    const int64_t end = clock_.Now() + ms * kTicksPerMillisecond;
    for (;;) {
      auto next = std::min_element(timers_.begin(), timers_.end(),
                                   [](auto& a, auto& b) { return a.second.first < b.second.first; });
      if (next == timers_.end() || next->second.first > end) break;
      clock_.Advance(next->second.first - clock_.Now());
      next->second.first += next->second.second;
      core.OnTimer(next->first);
    }
    clock_.Advance(end - clock_.Now());
  }
  // Hands every posted message to `core`; returns how many.
  int PumpPosted(HostCore& core) {
    const auto taken = std::exchange(posted_, {});
    for (auto& [message, payload] : taken) core.OnPosted(message, payload);
    return static_cast<int>(taken.size());
  }
  Calls TakeCalls() { return std::exchange(calls_, {}); }

  std::wstring programFolder = L"/opt/kaptora";
  bool addAccepted = true;
  bool retakeAccepted = false;  // NIM_MODIFY of an icon the shell does not have
  std::vector<std::pair<uint32_t, uint32_t>> taken;  // hotkeys of other programs: (modifiers, key)
  int menuChoice = 0;
  std::vector<MenuItem> lastMenu;

 private:
  void Record(const char* what, TrayState state, const std::wstring& tip) {
    calls_.push_back(what + (" " + std::to_string(int(state))) + " " + U8(tip));
  }

  test::FakeClock& clock_;
  Calls calls_;
  std::map<int, std::pair<int64_t, int64_t>> timers_;  // id -> (due, period)
  std::vector<std::pair<uint32_t, void*>> posted_;
};

class ScriptedEngine : public EngineControl {
 public:
  void ApplySettings(const Settings& s) override { applied.push_back(s), replayEnabled = s.replayEnabled; }
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
  int shutdowns = 0;
  Engine::Status status{true, true, 0.0, false, 0, 0.0};
};

class HostCoreTest : public ::testing::Test {
 protected:
  HostCoreTest() {
    settings.language = "en";
    SaveSettings(settingsPath, settings);
  }
  void Start(const std::string& loadError = "") {
    core = std::make_unique<HostCore>(shell, engine, files, settingsPath, settings);
    core->Start(loadError);
  }
  // The calls since the last look that start with one of `prefixes`.
  Calls Take(std::initializer_list<std::string_view> prefixes) {
    Calls out;
    for (std::string& call : shell.TakeCalls()) {
      if (std::any_of(prefixes.begin(), prefixes.end(), [&](auto p) { return call.starts_with(p); })) out.push_back(call);
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
  std::string quotedSettings = "\"" + temp.utf8() + "/settings.json\"";
  test::FakeClock clock;
  FakeHostShell shell{clock};
  ScriptedEngine engine;
  Settings settings;
  test::LogCapture log;
  test::FaultFiles files;
  std::unique_ptr<HostCore> core;
};

TEST_F(HostCoreTest, FolderChangesReloadOnce300MsAfterTheLastAndOnlyWhenTheFileChanged) {
  Start();
  core->OnFolderChanged();  // the file is unchanged: one read, nothing else
  shell.RunFor(*core, 1000);
  Rewrite([](Settings& s) { s.bufferSeconds = 60; });
  core->OnFolderChanged();
  shell.RunFor(*core, 200);
  Rewrite([](Settings& s) { s.bufferSeconds = 90; });
  core->OnFolderChanged();
  shell.RunFor(*core, 299);
  EXPECT_EQ(engine.applied.size(), 1u);
  shell.RunFor(*core, 2000);
  ASSERT_EQ(engine.applied.size(), 2u);
  EXPECT_EQ(engine.applied.back().bufferSeconds, 90);
  EXPECT_EQ(log.CountStartingWith("settings: "), 1);
}

TEST_F(HostCoreTest, ReloadReRegistersHotkeysOnlyWhenTheirTextChangedAndSwitchesLanguage) {
  const struct {
    void (*change)(Settings&);
    Calls expected;  // register and modify calls
  } rows[] = {
      {[](Settings& s) { s.notifySound = false; }, {}},
      {[](Settings& s) { s.toggleReplayHotkey = "F9"; }, {"register 1", "register 2"}},
      {[](Settings& s) { s.language = "ko"; }, {"modify 0 Kaptora\n리플레이 녹화 중 · 최근 0:00\n클립 저장: Alt+F10"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expected.size());
    ASSERT_TRUE(SaveSettings(settingsPath, settings));
    Start();
    shell.TakeCalls();
    Rewrite(row.change);
    core->ReloadSettings();
    EXPECT_EQ(Take({"register ", "modify "}), row.expected);
  }
}

TEST_F(HostCoreTest, FailedHotkeysAreLoggedEachAndListedInOneNotification) {
  settings.saveReplayHotkey = "Alt+";
  settings.toggleReplayHotkey = "Alt+F9";
  shell.taken = {{kModAlt, 0x78}};
  Start();
  EXPECT_TRUE(log.Has("hotkey: cannot register 'Alt+' (invalid)"));
  EXPECT_TRUE(log.Has("hotkey: cannot register 'Alt+F9' (in use by another program)"));
  EXPECT_EQ(Take({"notify "}),
            Calls{"notify Couldn't register hotkey | Alt+, Alt+F9 is used by another program. Change it in settings."});
}

TEST_F(HostCoreTest, UnreadableSettingsNotifyAtStartAndOnReloadKeepTheSettingsInForce) {
  Start("JSON: unexpected character at offset 3");
  EXPECT_EQ(Take({"notify "}), Calls{"notify Couldn't read the settings file | JSON: unexpected character at offset 3"});
  test::WriteFileBytes(settingsPath, "{ nope");
  core->ReloadSettings();
  EXPECT_EQ(Take({"notify "}),
            Calls{"notify Couldn't read the settings file | Recording continues with the previous settings."});
  EXPECT_EQ(engine.applied.size(), 1u);
  EXPECT_TRUE(log.Has("settings: expected object key at offset 2 \xE2\x80\x94 keeping current settings"));
}

TEST_F(HostCoreTest, AFileThatCannotBeOpenedIsTriedTwiceMore100MsApartThenTheSettingsInForceStay) {
  const std::string failed = "notify Couldn't read the settings file | Recording continues with the previous settings.";
  Start();
  // Deleted and written again by an editor, back between the retries.
  ASSERT_TRUE(SystemFiles().Delete(settingsPath));
  core->OnFolderChanged();
  shell.RunFor(*core, 450);
  Rewrite([](Settings& s) { s.bufferSeconds = 60; });
  shell.RunFor(*core, 50);
  ASSERT_EQ(engine.applied.size(), 2u);
  EXPECT_EQ(engine.applied.back().bufferSeconds, 60);

  // Locked for good: three looks, at 0, 100 and 200 ms, then a failed reload.
  files.FailOpenForRead(L"settings.json", 32);
  core->OnControlEvent(ControlEvent::kReload);
  shell.RunFor(*core, 199);
  EXPECT_EQ(Take({"notify "}), Calls{});
  shell.RunFor(*core, 1);
  EXPECT_EQ(Take({"notify "}), Calls{failed});
  EXPECT_TRUE(log.Has("settings: cannot open " + temp.utf8() + "/settings.json (error 32) \xE2\x80\x94 keeping current settings"));
  shell.RunFor(*core, 1000);
  EXPECT_EQ(engine.applied.size(), 2u);
  EXPECT_EQ(Take({"notify "}), Calls{});
}

TEST_F(HostCoreTest, ACloseRequestQuitsAndTheEndOfTheSessionShutsDownForGood) {
  Start();
  core->OnCloseRequested();
  EXPECT_EQ(Take({"quit"}), Calls{"quit"});
  core->OnEndSession();
  EXPECT_EQ(engine.shutdowns, 1);
  EXPECT_EQ(Take({"quit"}), Calls{"quit"});
  Rewrite([](Settings& s) { s.bufferSeconds = 60; });
  core->ReloadSettings();  // would start a capture without a save thread
  EXPECT_EQ(engine.applied.size(), 1u);
}

TEST_F(HostCoreTest, SoundsAndNotificationsFollowTheSettingsButTheUpdateNoticeAlwaysShows) {
  const std::string update = "notify Update available | Kaptora 2.0.0 is out. Click to update.";
  const struct {
    bool sound, toast;
    Calls expected;  // sound and notification calls, in order
  } rows[] = {
      {true, true,
       {"wave", "notify Couldn't save clip | Nothing recorded yet.", "save sound", "wave",
        "notify Couldn't save clip | Check disk space and the clip folder.", "notify Clip saved | 5:00 · Kaptora_1.mp4",
        update}},
      {false, false, {update}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.toast);
    settings.notifySound = row.sound;
    settings.notifyToast = row.toast;
    Start();
    shell.TakeCalls();
    engine.saveOk = false;
    core->RequestSaveFromUser();  // nothing buffered
    engine.saveOk = true;
    core->OnHotkey(kSaveHotkeyId);
    const PostFunction post = shell.Poster();
    ASSERT_TRUE(PostSaveFinished(post, {false, L"", 0.0}));
    ASSERT_TRUE(PostSaveFinished(post, {true, temp.File(L"Kaptora_1.mp4"), 299.6}));
    ASSERT_TRUE(PostUpdateAvailable(post, "2.0.0", "notes"));
    ASSERT_TRUE(PostUpdateAvailable(post, "2.0.0", "notes"));  // announced once
    EXPECT_EQ(shell.PumpPosted(*core), 4);
    EXPECT_EQ(Take({"notify ", "wave", "save sound"}), row.expected);
  }
}

TEST_F(HostCoreTest, NotificationClicksOpenTheUpdatePageUntilASaveSucceedsThenTheClip) {
  Start();
  const PostFunction post = shell.Poster();
  auto click = [&] {
    shell.PumpPosted(*core);
    shell.TakeCalls();
    core->OnTrayEvent(TrayEvent::kBalloonClick, {});
    return Take({"launch "});
  };
  EXPECT_EQ(click(), Calls{});  // nothing saved yet
  PostUpdateAvailable(post, "3.1", "");
  EXPECT_EQ(click(), Calls{"launch notepad.exe " + quotedSettings});  // no settings application beside us
  const std::wstring clip = temp.File(L"Kaptora_2.mp4");
  PostSaveFinished(post, {true, clip, 10.0});
  const std::string clipText = temp.utf8() + "/Kaptora_2.mp4";
  EXPECT_EQ(click(), Calls{"launch explorer.exe /select,\"" + clipText + "\""});

  // With the settings application beside the executable the page is asked
  // for explicitly, and the menu's edit command names the last clip.
  shell.programFolder = temp.path();
  test::WriteFileBytes(temp.File(L"Kaptora.Settings.exe"), "");
  const std::string app = "launch " + temp.utf8() + "/Kaptora.Settings.exe --settings " + quotedSettings;
  PostUpdateAvailable(post, "3.2", "");
  EXPECT_EQ(click(), Calls{app + " --page update"});
  core->RunMenuCommand(kMenuEditClip);
  EXPECT_EQ(Take({"launch "}), Calls{app + " --edit"});  // the clip is not on disk
  test::WriteFileBytes(clip, "");
  core->RunMenuCommand(kMenuEditClip);
  EXPECT_EQ(Take({"launch "}), Calls{app + " --edit \"" + clipText + "\""});
}

TEST_F(HostCoreTest, TheIconIsTouchedOnlyWhenStateOrTooltipChangeAndBufferWarningsShowOncePerEpisode) {
  shell.addAccepted = false;  // no taskbar yet: every refresh retries
  Start();
  EXPECT_EQ(shell.TakeCalls().front(), "add 0 Kaptora");
  shell.addAccepted = true;
  engine.status.bufferedSeconds = 4.4;
  shell.RunFor(*core, 1000);
  EXPECT_EQ(shell.TakeCalls(), Calls{"add 0 Kaptora\nReplay recording · last 0:04\nSave clip: Alt+F10"});
  shell.RunFor(*core, 3000);  // same status each second
  EXPECT_EQ(shell.TakeCalls(), Calls{});

  const struct {
    Engine::Status status;
    std::string call;
  } rows[] = {
      {{true, false, 4.4, false, 0, 0.0}, "modify 2 Kaptora\nWaiting for screen capture (lock screen, ...)\nSave clip: Alt+F10"},
      {{false, false, 4.4, false, 1, 0.424}, "modify 1 Kaptora\nReplay paused\nSaving clip 42%\nSave clip: Alt+F10"},
      {{true, true, 61.0, false, 3, 0.5}, "modify 0 Kaptora\nReplay recording · last 1:01\nSaving clip 50% (+2)\nSave clip: Alt+F10"},
  };
  for (const auto& row : rows) {
    engine.status = row.status;
    shell.RunFor(*core, 1000);
    EXPECT_EQ(shell.TakeCalls(), Calls{row.call});
  }
  core->OnTaskbarCreated();  // Explorer restarted: back with the current state
  EXPECT_EQ(shell.TakeCalls(), Calls{"add 0 " + rows[2].call.substr(9)});
  // Announced again while the icon is still there: the add is refused and
  // the icon taken over, so notifications keep reaching it.
  shell.addAccepted = false;
  shell.retakeAccepted = true;
  core->OnTaskbarCreated();
  EXPECT_EQ(shell.TakeCalls(), (Calls{"add 0 " + rows[2].call.substr(9), "retake 0 " + rows[2].call.substr(9)}));
  PostSaveFinished(shell.Poster(), {true, temp.File(L"Kaptora_3.mp4"), 3.0});
  shell.PumpPosted(*core);
  EXPECT_EQ(Take({"notify "}), Calls{"notify Clip saved | 0:03 · Kaptora_3.mp4"});

  // Each buffer warning once per episode, whatever the other one does.
  const struct {
    bool Engine::Status::*flag;
    std::string notification;
  } warnings[] = {
      {&Engine::Status::lowSpace, "notify Buffer drive is running out of space"},
      {&Engine::Status::bufferUnwritable,
       "notify Couldn't write the replay buffer | Check the buffer location in settings: the drive may be missing or "
       "read-only."},
  };
  for (const auto& warning : warnings) {
    SCOPED_TRACE(warning.notification);
    size_t shown = 0;
    for (bool on : {true, true, false, true}) {
      engine.status.*warning.flag = on;
      shell.RunFor(*core, 1000);
      shown += Take({warning.notification}).size();
    }
    EXPECT_EQ(shown, 2u);
  }
}

TEST_F(HostCoreTest, MenuGreysSaveUntilBufferedAndRunsTheChosenCommand) {
  settings.folder = temp.File(L"clips");
  Start();
  engine.status.bufferedSeconds = 0.0;
  core->ShowTrayMenu({});
  ASSERT_EQ(shell.lastMenu.size(), 8u);
  EXPECT_EQ(shell.lastMenu[0], (MenuItem{kMenuSaveClip, L"Save clip\tAlt+F10", true, false}));
  EXPECT_TRUE(shell.lastMenu[5].isDefault);
  shell.TakeCalls();
  for (int choice : {kMenuToggleReplay, kMenuOpenClipFolder, kMenuExit}) {
    shell.menuChoice = choice;
    core->ShowTrayMenu({});
  }
  EXPECT_EQ(shell.TakeCalls(), (Calls{"modify 1 Kaptora\nReplay paused\nSave clip: Alt+F10",
                                      "launch " + temp.utf8() + "/clips ", "quit"}));
  EXPECT_TRUE(test::FileExists(temp.File(L"clips")));  // created before it is opened
  core->OnHotkey(kToggleHotkeyId);
  EXPECT_TRUE(engine.replayEnabled);
  core->OnTrayEvent(TrayEvent::kDoubleClick, {});
  EXPECT_EQ(Take({"launch "}), Calls{"launch notepad.exe " + quotedSettings});
}

}  // namespace
}  // namespace kp
