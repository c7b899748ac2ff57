#include "fake_host_shell.h"

#include "platform/text.h"

namespace kp::test {

namespace {

std::string StateText(TrayState state) { return std::to_string(static_cast<int>(state)); }

}  // namespace

FakeHostShell::~FakeHostShell() {
  std::lock_guard lock(posted_->mutex);
  posted_->closed = true;
  for (auto& [message, payload] : posted_->queue) FreePostedPayload(message, payload);
  posted_->queue.clear();
}

bool FakeHostShell::AddTrayIcon(TrayState state, const std::wstring& tooltip) {
  Record("add " + StateText(state) + " " + WideToUtf8(tooltip));
  return addAccepted;
}

void FakeHostShell::ModifyTrayIcon(TrayState state, const std::wstring& tooltip) {
  Record("modify " + StateText(state) + " " + WideToUtf8(tooltip));
}

void FakeHostShell::ShowNotification(const std::wstring& title, const std::wstring& text) {
  Record("notify " + WideToUtf8(title) + " | " + WideToUtf8(text));
}

int FakeHostShell::TrackMenu(const std::vector<MenuItem>& items, ScreenPoint) {
  lastMenu = items;
  Record("menu");
  return menuChoice;
}

void FakeHostShell::Launch(const std::wstring& program, const std::wstring& parameters) {
  Record("launch " + WideToUtf8(program) + " " + WideToUtf8(parameters));
}

bool FakeHostShell::PlaySaveSound() {
  Record("save sound");
  return saveSoundPlays;
}

void FakeHostShell::PlayWave(const std::vector<uint8_t>& wav) {
  lastWave = wav;
  Record("wave");
}

bool FakeHostShell::RegisterHotkey(int id, uint32_t modifiers, uint32_t key) {
  Record("register " + std::to_string(id));
  for (const auto& [m, k] : takenHotkeys) {
    if ((modifiers & ~kModNoRepeat) == m && key == k) return false;
  }
  return true;
}

void FakeHostShell::StartTimer(int id, int periodMs) {
  const int64_t period = periodMs * kTicksPerMillisecond;
  timers_[id] = {clock_.Now() + period, period};
}

PostFunction FakeHostShell::Poster() {
  return [posted = posted_](uint32_t message, void* payload) {
    std::lock_guard lock(posted->mutex);
    if (posted->closed) return false;
    posted->queue.emplace_back(message, payload);
    return true;
  };
}

void FakeHostShell::RunFor(HostCore& core, int64_t ms) {
  const int64_t end = clock_.Now() + ms * kTicksPerMillisecond;
  for (;;) {
    auto next = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (it->second.due <= end && (next == timers_.end() || it->second.due < next->second.due)) next = it;
    }
    if (next == timers_.end()) break;
    const int id = next->first;
    clock_.Advance(next->second.due - clock_.Now());
    next->second.due += next->second.period;
    core.OnTimer(id);
  }
  clock_.Advance(end - clock_.Now());
}

int FakeHostShell::PumpPosted(HostCore& core) {
  std::deque<std::pair<uint32_t, void*>> taken;
  {
    std::lock_guard lock(posted_->mutex);
    taken.swap(posted_->queue);
  }
  for (auto& [message, payload] : taken) core.OnPosted(message, payload);
  return static_cast<int>(taken.size());
}

std::vector<std::string> FakeHostShell::TakeCalls() { return std::exchange(calls_, {}); }

}  // namespace kp::test
