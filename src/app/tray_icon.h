// The tray icon as the host sees it: whether the shell has accepted it, the
// state and tooltip last shown, and the rules that keep shell calls to the
// ones that change something. Drawing and the shell calls are the shell's.
#pragma once

#include <string>

#include "app/host_shell.h"

namespace kp {

inline constexpr size_t kTooltipLimit = 127;
inline constexpr size_t kNotificationTitleLimit = 63;
inline constexpr size_t kNotificationTextLimit = 255;

class TrayIcon {
 public:
  explicit TrayIcon(HostShell& shell) : shell_(shell) {}

  // Adds the icon with the current state and tooltip ("Kaptora" while none
  // was set); when the shell refuses the add, takes over the icon it still
  // has. Returns whether the icon is now the shell's.
  bool Add();
  // The shell announced a new taskbar (Explorer restarted, or the display
  // changed while the icon stayed): add it again, or take it over.
  void TaskbarRecreated();
  // Nothing when added and both are unchanged; otherwise stores both and
  // modifies the icon, or retries Add when it is not added yet.
  void SetState(TrayState state, const std::wstring& tooltip);
  // Dropped silently while the icon is not added.
  void ShowNotification(const std::wstring& title, const std::wstring& text);
  void Remove();

  bool added() const { return added_; }

 private:
  HostShell& shell_;
  bool added_ = false;
  TrayState state_ = TrayState::kRecording;
  std::wstring tooltip_;
};

}  // namespace kp
