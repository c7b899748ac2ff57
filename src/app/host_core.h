// The engine host's decisions, free of any window system: what each control
// event, timer, hotkey, tray event, menu command and posted message does;
// the settings reload; the tray status; notifications and sounds. A
// platform loop owns the shell and calls the On* operations on the host
// thread; HostCore calls back only through HostShell and EngineControl.
#pragma once

#include <string>

#include "app/engine_control.h"
#include "app/host_shell.h"
#include "app/interface_texts.h"
#include "app/tray_icon.h"
#include "config/settings.h"
#include "platform/control_channel.h"
#include "platform/files.h"

namespace kp {

enum class TrayEvent { kContextMenu, kDoubleClick, kBalloonClick, kOther };

class HostCore {
 public:
  // `settings` are the ones loaded at start (defaults when the file was
  // unreadable); `files` checks and creates what launching needs and reads
  // the settings file on reload.
  HostCore(HostShell& shell, EngineControl& engine, Files& files, std::wstring settingsPath, Settings settings);

  // Adds the tray icon, applies the settings to the engine, registers the
  // hotkeys, shows `loadError` (UTF-8, the loader's text) when not empty,
  // refreshes the status and starts the status timer.
  void Start(const std::string& loadError);
  // After the loop: "engine: exiting", engine shutdown (queued saves are
  // written), tray icon removed.
  void Finish();

  // A control event other than Stop (which ends the loop).
  void OnControlEvent(ControlEvent event);
  // Something changed in the settings folder: (re)arm the 300 ms reload.
  void OnFolderChanged();
  void OnTimer(int id);
  void OnHotkey(int id);
  void OnTrayEvent(TrayEvent event, ScreenPoint at);
  void OnTaskbarCreated();
  // A request to close (taskkill without /F): ends the loop as the tray's
  // Exit does.
  void OnCloseRequested();
  // Windows ends the session (or an installer closes the program): shut the
  // engine down at once and end the loop; nothing is reloaded afterwards.
  void OnEndSession();
  // Takes ownership of `payload` (see host_messages.h).
  void OnPosted(uint32_t message, void* payload);

  void RequestSaveFromUser();
  // Re-reads the settings file. Parsed: applied when it differs from the
  // settings in force. Invalid: logged, notified, the current settings stay.
  // Missing or not openable (an editor between delete and rewrite, a
  // redirected folder offline): tried twice more 100 ms apart through the
  // reload timer, then handled as invalid, with
  // "settings: cannot open %s (error %lu) — keeping current settings".
  void ReloadSettings();
  void RefreshTrayStatus();
  void ShowTrayMenu(ScreenPoint at);
  void RunMenuCommand(int command);
  void LaunchSettingsApp(const std::wstring& extra);
  void OpenClipLocation(const std::wstring& path);
  void EditLastClip();

  const Settings& settings() const { return settings_; }
  const TextTable& texts() const { return *texts_; }

 private:
  void TryReload();
  void ReloadFailed();
  void ToggleReplay();
  void PlaySaveSound(bool success);
  void OnSaveFinished(const Engine::SaveResult& result);
  void OnUpdateAvailable(const UpdateNotice& notice);

  HostShell& shell_;
  EngineControl& engine_;
  Files& files_;
  std::wstring settingsPath_;
  Settings settings_;
  const TextTable* texts_;
  TrayIcon tray_;
  std::wstring lastClip_;
  bool lowSpaceShown_ = false;
  bool unwritableShown_ = false;
  bool updatePending_ = false;
  std::string updateVersion_;
  int reloadRetriesLeft_ = 0;
  bool sessionEnded_ = false;
};

}  // namespace kp
