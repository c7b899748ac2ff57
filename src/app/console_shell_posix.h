// The Linux build's host shell: no tray, no window system. The tray icon,
// notifications and launches become log lines; timers, the settings-folder
// watch and posted messages are file descriptors the host's one poll waits
// on beside the control events.
//
// Log lines, fixed here because tests read them (the Windows shell has none
// of these):
//   "tray: %s"              when the icon's state changes (added, or modified
//                           to another state; never for a tooltip alone):
//                           "recording", "paused" or "waiting for the screen";
//                           "tray: removed" when the icon goes
//   "notification: %s | %s" every notification: title, text (UTF-8)
//   "launch: %s %s"         every launch: program, then the parameters
//                           ("launch: %s" when there are none)
// Sounds are silent (the save sound "plays") unless the shell has a desktop.
// The pop-up menu is never shown (it returns no command).
// Hotkey registration succeeds unless the hotkey is listed as taken in the
// options or registered under the other identifier already. On a desktop
// (UseDesktop) the shell also does the real things: hotkeys are key grabs on
// the X11 display (refused when another client holds one) whose presses
// reach the host; notifications go to the desktop's notification service
// too, and a click on the latest one reaches the host as a balloon click;
// launches are spawned (see desktop_launch.h); sounds play through the
// sound server without waiting for it, and the save sound cannot play while
// no server answers.
#pragma once

#include <poll.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/host_core.h"
#include "app/host_shell.h"
#include "app/dbus_notifier_posix.h"
#include "app/pulse_sound_player_posix.h"
#include "app/x11_hotkeys_posix.h"
#include "config/hotkey.h"

namespace kp {

class PostQueue;

class ConsoleShell : public HostShell {
 public:
  struct Options {
    // Hotkeys "held by another program": registering them fails.
    std::vector<Hotkey> takenHotkeys;
  };

  explicit ConsoleShell(Options options = {});
  // Closes the posted-message queue: later posts fail, pending payloads are
  // freed.
  ~ConsoleShell() override;
  ConsoleShell(const ConsoleShell&) = delete;
  ConsoleShell& operator=(const ConsoleShell&) = delete;

  // Watches `folder` (not its subfolders) for files created, deleted,
  // renamed, written or touched. False when it cannot be watched: the host
  // then runs without automatic reloads.
  bool WatchFolder(const std::wstring& folder);
  struct Desktop {
    std::unique_ptr<X11Hotkeys> hotkeys;    // null: no X11 display
    std::unique_ptr<DbusNotifier> notifier; // null: no session bus
    bool spawnLaunches = false;
    std::unique_ptr<PulseSoundPlayer> sounds;  // null: sounds are silent
  };
  // Before the first RegisterHotkey.
  void UseDesktop(Desktop desktop) { desktop_ = std::move(desktop); }

  // The descriptors of the folder watch, the timers and the posted-message
  // queue, for one poll.
  void AppendPollFds(std::vector<pollfd>* fds) const;
  // After the poll, with `fds` at the first descriptor AppendPollFds added:
  // a folder change is served first (as the window's messages come only
  // when no handle is signalled), otherwise every due timer and every posted
  // message is handed to `core`.
  void Dispatch(const pollfd* fds, HostCore& core);
  // Quit() was called (the tray's Exit).
  bool quitRequested() const { return quit_; }

  bool AddTrayIcon(TrayState state, const std::wstring& tooltip) override;
  // Only an icon that was added and not removed can be taken over.
  bool RetakeTrayIcon(TrayState state, const std::wstring& tooltip) override;
  void ModifyTrayIcon(TrayState state, const std::wstring& tooltip) override;
  void ShowNotification(const std::wstring& title, const std::wstring& text) override;
  void RemoveTrayIcon() override;
  int TrackMenu(const std::vector<MenuItem>& items, ScreenPoint at) override;
  void Launch(const std::wstring& program, const std::wstring& parameters) override;
  std::wstring ProgramFolder() override;
  bool PlaySaveSound() override;
  void PlayWave(const std::vector<uint8_t>& wav) override;
  bool RegisterHotkey(int id, uint32_t modifiers, uint32_t key) override;
  void UnregisterHotkey(int id) override;
  void StartTimer(int id, int periodMs) override;
  void StopTimer(int id) override;
  PostFunction Poster() override;
  void Quit() override { quit_ = true; }

 private:
  void ShowState(TrayState state);
  // False when `wav` is not a 16-bit PCM image or the player refuses it.
  bool PlayOnDesktop(const std::vector<uint8_t>& wav);

  Options options_;
  std::shared_ptr<PostQueue> posted_;
  int watchFd_ = -1;
  std::map<int, int> timerFds_;  // id -> timerfd
  std::map<int, Hotkey> hotkeys_;  // registered, by id
  Desktop desktop_;
  bool shownStateValid_ = false;
  TrayState shownState_ = TrayState::kRecording;
  bool quit_ = false;
};

}  // namespace kp
