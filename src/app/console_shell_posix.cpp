#include "app/console_shell_posix.h"

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "app/desktop_launch.h"
#include "app/log.h"
#include "app/pcm_wav.h"
#include "app/state_icon.h"
#include "platform/path.h"
#include "platform/text.h"

namespace kp {

// Messages posted from any thread; an eventfd wakes the host's poll. Once
// closed (the host has gone), posting fails and leaves the payload with the
// poster. Shared with every Poster() so a late poster never touches freed
// memory.
class PostQueue {
 public:
  PostQueue() : eventFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~PostQueue() {
    Close();
    if (eventFd_ >= 0) ::close(eventFd_);
  }

  bool Post(uint32_t message, void* payload) {
    std::lock_guard lock(mutex_);
    if (closed_ || eventFd_ < 0) return false;
    queue_.emplace_back(message, payload);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(eventFd_, &one, sizeof one);
    return true;
  }

  std::deque<std::pair<uint32_t, void*>> TakeAll() {
    std::lock_guard lock(mutex_);
    uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(eventFd_, &count, sizeof count);
    return std::exchange(queue_, {});
  }

  // Later posts fail; what is still queued is freed unread.
  void Close() {
    std::deque<std::pair<uint32_t, void*>> left;
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      left = std::exchange(queue_, {});
    }
    for (auto& [message, payload] : left) FreePostedPayload(message, payload);
  }

  int fd() const { return eventFd_; }

 private:
  std::mutex mutex_;
  std::deque<std::pair<uint32_t, void*>> queue_;
  bool closed_ = false;
  const int eventFd_;
};

namespace {

// Runs `arguments` in a process of its own that nobody waits for (a child
// that forks it and ends at once), so launches leave no zombie behind.
// Failures are silent, as a launch's are.
void SpawnDetached(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    if (::fork() == 0) {
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    ::_exit(0);
  }
  if (child > 0) ::waitpid(child, nullptr, 0);
}

const char* StateName(TrayState state) {
  switch (state) {
    case TrayState::kRecording: return "recording";
    case TrayState::kPaused: return "paused";
    case TrayState::kWaiting: return "waiting for the screen";
  }
  return "?";
}

void DrainFd(int fd) {
  char buffer[4096];
  while (::read(fd, buffer, sizeof buffer) > 0) {
  }
}

}  // namespace

ConsoleShell::ConsoleShell(Options options)
    : options_(std::move(options)), posted_(std::make_shared<PostQueue>()) {}

ConsoleShell::~ConsoleShell() {
  posted_->Close();
  for (auto& [id, fd] : timerFds_) ::close(fd);
  if (watchFd_ >= 0) ::close(watchFd_);
}

bool ConsoleShell::WatchFolder(const std::wstring& folder) {
  watchFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watchFd_ < 0) return false;
  const uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB;
  if (::inotify_add_watch(watchFd_, WideToUtf8(folder).c_str(), mask) < 0) {
    ::close(watchFd_);
    watchFd_ = -1;
    return false;
  }
  return true;
}

void ConsoleShell::AppendPollFds(std::vector<pollfd>* fds) const {
  fds->push_back({watchFd_, POLLIN, 0});  // a negative descriptor is skipped by poll
  for (const auto& [id, fd] : timerFds_) fds->push_back({fd, POLLIN, 0});
  fds->push_back({posted_->fd(), POLLIN, 0});
  fds->push_back({desktop_.hotkeys ? desktop_.hotkeys->Fd() : -1, POLLIN, 0});
  fds->push_back({desktop_.notifier ? desktop_.notifier->Fd() : -1, POLLIN, 0});
}

void ConsoleShell::Dispatch(const pollfd* fds, HostCore& core) {
  if (fds[0].revents != 0) {
    DrainFd(watchFd_);
    core.OnFolderChanged();
    return;
  }
  // Collected first: a handler may start or stop timers.
  std::vector<int> due;
  size_t i = 1;
  for (const auto& [id, fd] : timerFds_) {
    if (fds[i++].revents != 0) {
      uint64_t expirations = 0;
      if (::read(fd, &expirations, sizeof expirations) > 0) due.push_back(id);
    }
  }
  const bool postedReady = fds[i].revents != 0;
  for (int id : due) core.OnTimer(id);
  if (desktop_.hotkeys && fds[i + 1].revents != 0) {
    for (int id : desktop_.hotkeys->TakePressed()) core.OnHotkey(id);
  }
  if (desktop_.notifier && fds[i + 2].revents != 0 && desktop_.notifier->TakeClick()) {
    core.OnTrayEvent(TrayEvent::kBalloonClick, {});
  }
  if (postedReady) {
    for (auto& [message, payload] : posted_->TakeAll()) core.OnPosted(message, payload);
  }
}

void ConsoleShell::ShowState(TrayState state) {
  if (shownStateValid_ && state == shownState_) return;
  shownStateValid_ = true;
  shownState_ = state;
  Log("tray: %s", StateName(state));
}

bool ConsoleShell::AddTrayIcon(TrayState state, const std::wstring&) {
  ShowState(state);
  return true;
}

bool ConsoleShell::RetakeTrayIcon(TrayState state, const std::wstring&) {
  if (!shownStateValid_) return false;
  ShowState(state);
  return true;
}

void ConsoleShell::ModifyTrayIcon(TrayState state, const std::wstring&) { ShowState(state); }

void ConsoleShell::ShowNotification(const std::wstring& title, const std::wstring& text) {
  Log("notification: %s | %s", WideToUtf8(title).c_str(), WideToUtf8(text).c_str());
  if (desktop_.notifier) desktop_.notifier->Show(WideToUtf8(title), WideToUtf8(text));
}

void ConsoleShell::RemoveTrayIcon() {
  shownStateValid_ = false;
  Log("tray: removed");
}

int ConsoleShell::TrackMenu(const std::vector<MenuItem>&, ScreenPoint) { return 0; }

void ConsoleShell::Launch(const std::wstring& program, const std::wstring& parameters) {
  if (parameters.empty()) {
    Log("launch: %s", WideToUtf8(program).c_str());
  } else {
    Log("launch: %s %s", WideToUtf8(program).c_str(), WideToUtf8(parameters).c_str());
  }
  if (desktop_.spawnLaunches) SpawnDetached(DesktopLaunchArguments(program, parameters));
}

std::wstring ConsoleShell::ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return L".";
  return ParentFolder(Utf8ToWide(std::string(path, static_cast<size_t>(n))));
}

bool ConsoleShell::PlayOnDesktop(const std::vector<uint8_t>& wav) {
  std::optional<PcmSound> sound = ReadPcmWav(wav);
  return sound && desktop_.sounds->Play(std::move(*sound));
}

bool ConsoleShell::PlaySaveSound() { return !desktop_.sounds || PlayOnDesktop(SaveSoundWav()); }

void ConsoleShell::PlayWave(const std::vector<uint8_t>& wav) {
  if (desktop_.sounds) PlayOnDesktop(wav);
}

bool ConsoleShell::RegisterHotkey(int id, uint32_t modifiers, uint32_t key) {
  const Hotkey hotkey{modifiers & ~kModNoRepeat, key};
  for (const Hotkey& taken : options_.takenHotkeys) {
    if (taken == hotkey) return false;
  }
  for (const auto& [otherId, registered] : hotkeys_) {
    if (otherId != id && registered == hotkey) return false;
  }
  if (desktop_.hotkeys && !desktop_.hotkeys->Grab(id, modifiers, key)) return false;
  hotkeys_[id] = hotkey;
  return true;
}

void ConsoleShell::UnregisterHotkey(int id) {
  if (desktop_.hotkeys) desktop_.hotkeys->Ungrab(id);
  hotkeys_.erase(id);
}

void ConsoleShell::StartTimer(int id, int periodMs) {
  auto found = timerFds_.find(id);
  if (found == timerFds_.end()) {
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
      Log("engine: cannot create timer %d (error %lu)", id, static_cast<unsigned long>(errno));
      return;
    }
    found = timerFds_.emplace(id, fd).first;
  }
  itimerspec spec{};
  spec.it_value.tv_sec = periodMs / 1000;
  spec.it_value.tv_nsec = static_cast<long>(periodMs % 1000) * 1'000'000;
  spec.it_interval = spec.it_value;
  ::timerfd_settime(found->second, 0, &spec, nullptr);
}

void ConsoleShell::StopTimer(int id) {
  auto found = timerFds_.find(id);
  if (found == timerFds_.end()) return;
  itimerspec spec{};
  ::timerfd_settime(found->second, 0, &spec, nullptr);
  uint64_t expirations = 0;
  [[maybe_unused]] ssize_t n = ::read(found->second, &expirations, sizeof expirations);
}

PostFunction ConsoleShell::Poster() {
  return [queue = posted_](uint32_t message, void* payload) { return queue->Post(message, payload); };
}

}  // namespace kp
