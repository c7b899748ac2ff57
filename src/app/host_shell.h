// Everything the engine host asks of the operating system's user interface:
// the tray icon and its notifications, the pop-up menu, launching programs,
// sounds, hotkeys, timers and posted messages. The host's decisions
// (HostCore) call only this; the Windows shell implements it over the
// hidden engine window, the Linux console shell as log lines and file
// descriptors. Every call is made on the host thread, except the function
// returned by Poster().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/host_messages.h"
#include "config/hotkey.h"

namespace kp {

// What the icon shows: 0 recording (red), 1 paused (grey), 2 waiting for the
// screen (amber).
enum class TrayState { kRecording = 0, kPaused = 1, kWaiting = 2 };

struct ScreenPoint {
  int x = 0;
  int y = 0;
};

// One line of the tray menu; command 0 is a separator.
struct MenuItem {
  int command = 0;
  std::wstring text;
  bool grayed = false;
  bool isDefault = false;

  bool operator==(const MenuItem&) const = default;
};

// Timer identifiers of the engine window.
inline constexpr int kStatusTimer = 1;  // 1000 ms, periodic
inline constexpr int kReloadTimer = 2;  // 300 ms, killed when it fires

// Hotkey identifiers.
inline constexpr int kSaveHotkeyId = 1;
inline constexpr int kToggleHotkeyId = 2;

class HostShell {
 public:
  virtual ~HostShell() = default;

  // The tray icon (identifier 1 of the engine window). Texts arrive already
  // cut to what the shell takes (tooltip 127, title 63, text 255).
  // False when the shell did not accept the icon (no taskbar yet).
  virtual bool AddTrayIcon(TrayState state, const std::wstring& tooltip) = 0;
  // After a refused add: takes over an icon the shell still has (it
  // announces a new taskbar also while the icon exists), with everything
  // AddTrayIcon sets. False when the shell has no such icon either.
  virtual bool RetakeTrayIcon(TrayState state, const std::wstring& tooltip) = 0;
  virtual void ModifyTrayIcon(TrayState state, const std::wstring& tooltip) = 0;
  // A notification on the icon, without a sound of its own.
  virtual void ShowNotification(const std::wstring& title, const std::wstring& text) = 0;
  virtual void RemoveTrayIcon() = 0;

  // Shows the pop-up menu at `at` and returns the chosen command, 0 for none.
  virtual int TrackMenu(const std::vector<MenuItem>& items, ScreenPoint at) = 0;

  // Opens `program` (a program, a document or a folder) with `parameters`,
  // shown normally. Failures are silent.
  virtual void Launch(const std::wstring& program, const std::wstring& parameters) = 0;
  // The folder that holds the running executable.
  virtual std::wstring ProgramFolder() = 0;

  // The executable's save sound, asynchronously; false when it cannot play.
  virtual bool PlaySaveSound() = 0;
  // A WAV image from memory, asynchronously; the bytes outlive the sound.
  virtual void PlayWave(const std::vector<uint8_t>& wav) = 0;

  // System-wide hotkey `id`; `modifiers` already include kModNoRepeat.
  // False when the system refuses it (taken by another program).
  virtual bool RegisterHotkey(int id, uint32_t modifiers, uint32_t key) = 0;
  virtual void UnregisterHotkey(int id) = 0;

  // Periodic timer `id`; starting a running timer restarts its period.
  virtual void StartTimer(int id, int periodMs) = 0;
  virtual void StopTimer(int id) = 0;

  // Posts to this host from any thread; safe to keep and call after the
  // host has ended (it then fails).
  virtual PostFunction Poster() = 0;
  // Ends the host's loop after the current message.
  virtual void Quit() = 0;
};

}  // namespace kp
