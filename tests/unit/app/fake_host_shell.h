// A recording host shell on a deterministic clock: every shell call becomes
// one line in `calls`, timers fire when the test runs time forward, posted
// messages wait in a queue until the test pumps them.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/host_core.h"
#include "app/host_shell.h"
#include "support/fake_clock.h"

namespace kp::test {

class FakeHostShell : public HostShell {
 public:
  explicit FakeHostShell(FakeClock& clock) : clock_(clock) {}
  ~FakeHostShell() override;

  bool AddTrayIcon(TrayState state, const std::wstring& tooltip) override;
  void ModifyTrayIcon(TrayState state, const std::wstring& tooltip) override;
  void ShowNotification(const std::wstring& title, const std::wstring& text) override;
  void RemoveTrayIcon() override { Record("remove"); }
  int TrackMenu(const std::vector<MenuItem>& items, ScreenPoint) override;
  void Launch(const std::wstring& program, const std::wstring& parameters) override;
  std::wstring ProgramFolder() override { return programFolder; }
  bool PlaySaveSound() override;
  void PlayWave(const std::vector<uint8_t>& wav) override;
  bool RegisterHotkey(int id, uint32_t modifiers, uint32_t key) override;
  void UnregisterHotkey(int id) override { Record("unregister " + std::to_string(id)); }
  void StartTimer(int id, int periodMs) override;
  void StopTimer(int id) override { timers_.erase(id); }
  PostFunction Poster() override;
  void Quit() override { Record("quit"); }

  // Moves the clock forward by `ms`, firing due timers in time order.
  void RunFor(HostCore& core, int64_t ms);
  // Hands every posted message to `core`; returns how many.
  int PumpPosted(HostCore& core);
  // Calls recorded since the last TakeCalls.
  std::vector<std::string> TakeCalls();

  std::wstring programFolder = L"/opt/kaptora";
  bool addAccepted = true;
  bool saveSoundPlays = true;
  std::vector<std::pair<uint32_t, uint32_t>> takenHotkeys;  // (modifiers without no-repeat, key)
  int menuChoice = 0;
  std::vector<MenuItem> lastMenu;
  std::vector<uint8_t> lastWave;

 private:
  struct Timer {
    int64_t due = 0;
    int64_t period = 0;
  };
  struct Posted {
    std::mutex mutex;
    std::deque<std::pair<uint32_t, void*>> queue;
    bool closed = false;
  };
  void Record(std::string call) { calls_.push_back(std::move(call)); }

  FakeClock& clock_;
  std::vector<std::string> calls_;
  std::map<int, Timer> timers_;
  std::shared_ptr<Posted> posted_ = std::make_shared<Posted>();
};

}  // namespace kp::test
