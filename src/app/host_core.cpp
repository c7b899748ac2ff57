#include "app/host_core.h"

#include <memory>
#include <utility>

#include "app/hotkey_registration.h"
#include "app/launch_commands.h"
#include "app/log.h"
#include "app/state_icon.h"
#include "app/tray_status.h"
#include "config/data_folders.h"
#include "platform/path.h"
#include "platform/text.h"

namespace kp {

namespace {

constexpr int kReloadRetries = 2;
constexpr int kReloadRetryMs = 100;
constexpr int kReloadDelayMs = 300;

}  // namespace

HostCore::HostCore(HostShell& shell, EngineControl& engine, Files& files, std::wstring settingsPath,
                   Settings settings)
    : shell_(shell),
      engine_(engine),
      files_(files),
      settingsPath_(std::move(settingsPath)),
      settings_(std::move(settings)),
      texts_(&TextsForLanguage(settings_.language)),
      tray_(shell) {}

void HostCore::Start(const std::string& loadError) {
  tray_.Add();
  engine_.ApplySettings(settings_);
  ApplyHotkeys(shell_, tray_, settings_, *texts_);
  // Shown whatever notifications.toast says: the user must know the file
  // they edited is not in force.
  if (!loadError.empty()) tray_.ShowNotification(Text(*texts_, UiText::kSettingsFileTitle), Utf8ToWide(loadError));
  RefreshTrayStatus();
  shell_.StartTimer(kStatusTimer, 1000);
}

void HostCore::Finish() {
  Log("engine: exiting");
  engine_.Shutdown();
  tray_.Remove();
}

void HostCore::OnControlEvent(ControlEvent event) {
  switch (event) {
    case ControlEvent::kSave: RequestSaveFromUser(); break;
    case ControlEvent::kReload: ReloadSettings(); break;
    case ControlEvent::kShowSettings: LaunchSettingsApp(L""); break;
    case ControlEvent::kStop: break;  // the loop ends
  }
}

void HostCore::OnFolderChanged() {
  reloadRetriesLeft_ = kReloadRetries;
  shell_.StartTimer(kReloadTimer, kReloadDelayMs);
}

void HostCore::OnTimer(int id) {
  if (id == kStatusTimer) {
    RefreshTrayStatus();
  } else if (id == kReloadTimer) {
    shell_.StopTimer(kReloadTimer);
    TryReload();
  }
}

void HostCore::OnHotkey(int id) {
  if (id == kSaveHotkeyId) {
    RequestSaveFromUser();
  } else if (id == kToggleHotkeyId) {
    ToggleReplay();
  }
}

void HostCore::OnTrayEvent(TrayEvent event, ScreenPoint at) {
  switch (event) {
    case TrayEvent::kContextMenu: ShowTrayMenu(at); break;
    case TrayEvent::kDoubleClick: LaunchSettingsApp(L""); break;
    case TrayEvent::kBalloonClick:
      if (updatePending_) {
        LaunchSettingsApp(L"--page update");
      } else if (!lastClip_.empty()) {
        OpenClipLocation(lastClip_);
      }
      break;
    case TrayEvent::kOther: break;
  }
}

void HostCore::OnTaskbarCreated() {
  tray_.TaskbarRecreated();
  RefreshTrayStatus();
}

void HostCore::OnCloseRequested() { RunMenuCommand(kMenuExit); }

void HostCore::OnEndSession() {
  // Queued saves are written before this returns; the process may be ended
  // right after. A reload now would start a capture with no save thread.
  engine_.Shutdown();
  sessionEnded_ = true;
  shell_.Quit();
}

void HostCore::OnPosted(uint32_t message, void* payload) {
  if (message == kSaveFinishedMessage) {
    std::unique_ptr<Engine::SaveResult> result(static_cast<Engine::SaveResult*>(payload));
    OnSaveFinished(*result);
  } else if (message == kUpdateAvailableMessage) {
    std::unique_ptr<UpdateNotice> notice(static_cast<UpdateNotice*>(payload));
    OnUpdateAvailable(*notice);
  } else {
    FreePostedPayload(message, payload);
  }
}

void HostCore::RequestSaveFromUser() {
  const bool ok = engine_.RequestSave();
  if (settings_.notifySound) PlaySaveSound(ok);
  if (!ok && settings_.notifyToast) {
    tray_.ShowNotification(Text(*texts_, UiText::kSaveFailedTitle), Text(*texts_, UiText::kNothingToSaveText));
  }
  RefreshTrayStatus();
}

void HostCore::ReloadSettings() {
  reloadRetriesLeft_ = kReloadRetries;
  TryReload();
}

void HostCore::TryReload() {
  if (sessionEnded_) return;
  std::string bytes;
  const IoStatus read = ReadWholeFile(files_, settingsPath_, &bytes);
  if (!read) {
    // Looked at again from the timer: the host thread never sleeps.
    if (reloadRetriesLeft_ > 0) {
      --reloadRetriesLeft_;
      shell_.StartTimer(kReloadTimer, kReloadRetryMs);
      return;
    }
    Log("settings: cannot open %s (error %lu) \xE2\x80\x94 keeping current settings",
        WideToUtf8(settingsPath_).c_str(), static_cast<unsigned long>(read.error));
    ReloadFailed();
    return;
  }
  Settings loaded;
  std::string error;
  if (!ParseSettings(bytes, &loaded, &error)) {
    Log("settings: %s \xE2\x80\x94 keeping current settings", error.c_str());
    ReloadFailed();
    return;
  }
  // Editors that rewrite the file unchanged, and other files of the folder,
  // cost one read and nothing else.
  if (loaded == settings_) return;
  const Settings old = std::exchange(settings_, std::move(loaded));
  Log("settings: reloaded");
  texts_ = &TextsForLanguage(settings_.language);
  engine_.ApplySettings(settings_);
  if (settings_.saveReplayHotkey != old.saveReplayHotkey || settings_.toggleReplayHotkey != old.toggleReplayHotkey) {
    ApplyHotkeys(shell_, tray_, settings_, *texts_);
  }
  RefreshTrayStatus();
}

// Shown whatever notifications.toast says: the file the user edited is not
// in force.
void HostCore::ReloadFailed() {
  tray_.ShowNotification(Text(*texts_, UiText::kSettingsFileTitle), Text(*texts_, UiText::kReloadFailedText));
}

void HostCore::RefreshTrayStatus() {
  const Engine::Status status = engine_.GetStatus();
  const TrayView view = ComputeTrayView(status, *texts_, settings_.saveReplayHotkey);
  // Once per episode: again only after the flag has cleared and come back.
  if (status.lowSpace && !lowSpaceShown_) {
    tray_.ShowNotification(Text(*texts_, UiText::kLowSpaceTitle), Text(*texts_, UiText::kLowSpaceText));
  }
  lowSpaceShown_ = status.lowSpace;
  if (status.bufferUnwritable && !unwritableShown_) {
    tray_.ShowNotification(Text(*texts_, UiText::kBufferUnwritableTitle),
                           Text(*texts_, UiText::kBufferUnwritableText));
  }
  unwritableShown_ = status.bufferUnwritable;
  tray_.SetState(view.state, view.tooltip);
}

void HostCore::ShowTrayMenu(ScreenPoint at) {
  const std::vector<MenuItem> items =
      BuildTrayMenu(engine_.GetStatus(), engine_.ReplayEnabled(), *texts_, settings_.saveReplayHotkey);
  RunMenuCommand(shell_.TrackMenu(items, at));
}

void HostCore::RunMenuCommand(int command) {
  switch (command) {
    case kMenuSaveClip: RequestSaveFromUser(); break;
    case kMenuToggleReplay: ToggleReplay(); break;
    case kMenuOpenClipFolder: {
      const std::wstring folder = ClipFolderPath(settings_.folder);
      files_.CreateFolderChain(folder);
      shell_.Launch(folder, L"");
      break;
    }
    case kMenuEditClip: EditLastClip(); break;
    case kMenuSettings: LaunchSettingsApp(L""); break;
    case kMenuExit: shell_.Quit(); break;
    default: break;  // nothing chosen
  }
}

void HostCore::LaunchSettingsApp(const std::wstring& extra) {
  const std::wstring folder = shell_.ProgramFolder();
  const bool exists = files_.Stat(JoinPath(folder, kSettingsAppName)).exists;
  const LaunchCommand command = SettingsAppCommand(folder, exists, settingsPath_, extra);
  shell_.Launch(command.program, command.parameters);
}

void HostCore::OpenClipLocation(const std::wstring& path) {
  const LaunchCommand command = SelectInExplorerCommand(path);
  shell_.Launch(command.program, command.parameters);
}

void HostCore::EditLastClip() {
  const bool exists = !lastClip_.empty() && files_.Stat(lastClip_).exists;
  LaunchSettingsApp(EditClipArguments(lastClip_, exists));
}

void HostCore::ToggleReplay() {
  engine_.SetReplayEnabled(!engine_.ReplayEnabled());
  RefreshTrayStatus();
}

void HostCore::PlaySaveSound(bool success) {
  if (success) {
    if (!shell_.PlaySaveSound()) Log("sound: cannot play the save sound");
  } else {
    shell_.PlayWave(FailureSoundWav());
  }
}

void HostCore::OnSaveFinished(const Engine::SaveResult& result) {
  RefreshTrayStatus();
  if (result.ok) {
    lastClip_ = result.path;
    updatePending_ = false;
    if (settings_.notifyToast) {
      tray_.ShowNotification(Text(*texts_, UiText::kSavedTitle),
                             FillText(Text(*texts_, UiText::kSavedText),
                                      {MinutesSeconds(result.duration), FileName(result.path)}));
    }
    return;
  }
  if (settings_.notifySound) PlaySaveSound(false);
  if (settings_.notifyToast) {
    tray_.ShowNotification(Text(*texts_, UiText::kSaveFailedTitle), Text(*texts_, UiText::kSaveFailedText));
  }
}

void HostCore::OnUpdateAvailable(const UpdateNotice& notice) {
  // One version is announced once per process, whatever notifications.toast says.
  if (notice.first == updateVersion_) return;
  updateVersion_ = notice.first;
  updatePending_ = true;
  tray_.ShowNotification(Text(*texts_, UiText::kUpdateTitle),
                         FillText(Text(*texts_, UiText::kUpdateText), {Utf8ToWide(notice.first)}));
}

}  // namespace kp
