// The Windows host shell: the hidden engine window (class "KaptoraEngine")
// that owns the tray icon, the hotkeys and the timers and receives the
// posted messages. Its window procedure only translates messages into
// HostCore calls; every decision is HostCore's.
#pragma once

#include <windows.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "app/host_shell.h"
#include "app/posted_payloads.h"

namespace kp {

class HostCore;

class WindowShell : public HostShell {
 public:
  WindowShell() = default;
  // DestroyWindow when still open, then DestroyIcon on every icon made, and
  // COM is left.
  ~WindowShell() override;
  WindowShell(const WindowShell&) = delete;
  WindowShell& operator=(const WindowShell&) = delete;

  // Enters COM for the shell's launches, registers the window class,
  // creates the never-shown window and registers "TaskbarCreated" (also
  // let through to an elevated engine). False (with a log line) when the
  // window cannot be made; the host then runs on its control events alone.
  bool Open(HINSTANCE instance);
  // Messages reach `core` from here on; null detaches (the window procedure
  // then only does the default).
  void Attach(HostCore* core);
  // Refuses later posts, frees the posted records still queued, then
  // destroys the window.
  void DestroyWindow();
  // Null when Open failed or after DestroyWindow.
  HWND window() const { return window_; }

  bool AddTrayIcon(TrayState state, const std::wstring& tooltip) override;
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
  void Quit() override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  HICON StateIcon(TrayState state);
  HICON NotificationIcon();
  bool SubmitIcon(DWORD verb, TrayState state, const std::wstring& tooltip);

  HWND window_ = nullptr;
  UINT taskbarMessage_ = 0;
  HostCore* core_ = nullptr;
  std::array<HICON, 3> stateIcons_{};
  HICON notificationIcon_ = nullptr;
  bool notificationIconTried_ = false;
  bool comStarted_ = false;
  // Shared with every Poster(), which may outlive the shell.
  std::shared_ptr<PostedPayloads> posted_ = std::make_shared<PostedPayloads>();
};

}  // namespace kp
