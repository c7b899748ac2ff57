// POSIX stand-in for the named mutex and events. Everything lives in a
// per-user runtime folder. The instance lock is an flock()ed file (released by
// the kernel if the engine dies); each event is a Unix datagram socket that the
// engine binds, named after the event ("Kaptora.Save.sock", ...).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/log.h"
#include "platform/control_channel_posix.h"
#include "platform/text.h"

namespace kp {

namespace {

std::string& FallbackParent() {
  static std::string parent = "/tmp";
  return parent;
}

// "Local\Kaptora.Save" -> "Kaptora.Save.sock"
std::string SocketName(ControlEvent event) {
  std::string name = WideToUtf8(ControlEventName(event));
  return name.substr(name.find('\\') + 1) + ".sock";
}

// Whether every socket of the channel, named inside `folder`, fits a Unix
// socket address (sun_path holds the terminating zero too).
bool SocketPathsFit(const std::string& folder) {
  size_t longest = 0;
  for (ControlEvent event : {ControlEvent::kSave, ControlEvent::kStop, ControlEvent::kReload,
                             ControlEvent::kShowSettings}) {
    longest = std::max(longest, SocketName(event).size());
  }
  return folder.size() + 1 + longest < sizeof(sockaddr_un::sun_path);
}

// The one folder every side of the channel uses (the engine's lock and
// sockets, every control command), so they always meet:
// $XDG_RUNTIME_DIR/kaptora when its socket paths fit, else
// <fallback parent>/kaptora-<uid>.
std::string RuntimeFolderPath() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && xdg[0] != '\0') {
    std::string preferred = std::string(xdg) + "/kaptora";
    if (SocketPathsFit(preferred)) return preferred;
  }
  return FallbackParent() + "/kaptora-" + std::to_string(::getuid());
}

// Ours, and nobody else may read or write into it.
bool IsSafeFolder(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 0077) == 0;
}

// The folder when it exists and is safe to use; empty otherwise (a control
// command then finds no engine).
std::string ExistingRuntimeFolder() {
  std::string folder = RuntimeFolderPath();
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0 || !IsSafeFolder(st)) return {};
  return folder;
}

// The engine's side: creates the folder (mode 0700) when it is missing.
// Empty, with the reason logged, when it cannot be made or is not safe.
std::string CreateRuntimeFolder() {
  std::string folder = RuntimeFolderPath();
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    Log("engine: cannot create the runtime folder %s (error %d)", folder.c_str(), errno);
    return {};
  }
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) {
    Log("engine: cannot create the runtime folder %s (error %d)", folder.c_str(), errno);
    return {};
  }
  if (!IsSafeFolder(st)) {
    Log("engine: unsafe runtime folder %s \xE2\x80\x94 not using it", folder.c_str());
    return {};
  }
  return folder;
}

std::string SocketPath(const std::string& folder, ControlEvent event) {
  return folder + "/" + SocketName(event);
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

class FlockInstanceLock : public InstanceLock {
 public:
  explicit FlockInstanceLock(int fd) : fd_(fd) {}
  ~FlockInstanceLock() override { ::close(fd_); }

 private:
  int fd_;
};

// SIGTERM and SIGINT become Stop through a self-pipe that the wait polls.
int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  int saved = errno;
  char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
  errno = saved;
}

class PosixControlEvents : public PollableControlEvents {
 public:
  static constexpr std::array<ControlEvent, 4> kEvents = {ControlEvent::kSave, ControlEvent::kStop,
                                                           ControlEvent::kReload, ControlEvent::kShowSettings};

  // 0 when every socket is bound; else the error of the call that failed,
  // or -1 when the runtime folder was refused (that reason is logged).
  int Open() {
    std::string folder = CreateRuntimeFolder();
    if (folder.empty()) return -1;
    for (size_t i = 0; i < kEvents.size(); ++i) {
      paths_[i] = SocketPath(folder, kEvents[i]);
      sockaddr_un address{};
      if (!FillAddress(paths_[i], &address)) return ENAMETOOLONG;
      // A stale socket from an engine that died: we hold the instance lock,
      // so nobody else owns it.
      ::unlink(paths_[i].c_str());
      fds_[i] = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fds_[i] < 0) return errno;
      if (::bind(fds_[i], reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return errno;
    }
    if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) return errno;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    return 0;
  }

  ~PosixControlEvents() override {
    for (size_t i = 0; i < kEvents.size(); ++i) {
      if (fds_[i] >= 0) {
        ::close(fds_[i]);
        ::unlink(paths_[i].c_str());
      }
    }
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
  }

  void AppendPollFds(std::vector<pollfd>* fds) const override {
    for (int fd : fds_) fds->push_back({fd, POLLIN, 0});
    fds->push_back({g_signalPipe[0], POLLIN, 0});
  }

  // Events are served in the order Windows serves the lowest signalled
  // handle: Save, Stop, Reload, ShowSettings. So a Save signalled before a
  // Stop is still delivered before the loop ends, while a set Stop hides
  // Reload and ShowSettings. Only the delivered event's socket is drained:
  // the others stay readable for the next poll. Draining it whole makes
  // several signals before the wake one, as with an auto-reset event. Stop
  // stays set once seen (a manual-reset event).
  std::optional<ControlEvent> TakeReady(const pollfd* fds) override {
    if (fds[kEvents.size()].revents != 0) {
      Drain(g_signalPipe[0]);
      stopped_ = true;
    }
    for (size_t i = 0; i < kEvents.size(); ++i) {
      if (kEvents[i] == ControlEvent::kStop) {
        if (fds[i].revents != 0) {
          Drain(fds_[i]);
          stopped_ = true;
        }
        if (stopped_) return ControlEvent::kStop;
      } else if (fds[i].revents != 0) {
        Drain(fds_[i]);
        return kEvents[i];
      }
    }
    return std::nullopt;
  }

  bool StopSet() const override { return stopped_; }

  Wake Wait(int timeoutMs) override {
    std::vector<pollfd> fds;
    AppendPollFds(&fds);
    // Once stopped, the wait never blocks: Stop is signalled.
    int ready = ::poll(fds.data(), fds.size(), stopped_ ? 0 : timeoutMs < 0 ? -1 : timeoutMs);
    if (ready < 0) return {Wake::Kind::kError, ControlEvent::kSave};
    std::optional<ControlEvent> event = TakeReady(fds.data());
    if (!event) return {};
    return {Wake::Kind::kEvent, *event};
  }

 private:
  // Reads everything queued on a non-blocking socket or pipe.
  static void Drain(int fd) {
    char buffer[64];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
  }

  std::array<int, 4> fds_{-1, -1, -1, -1};
  std::array<std::string, 4> paths_;
  bool stopped_ = false;  // Stop is manual-reset: once set it stays set
};

}  // namespace

bool SignalControlEvent(ControlEvent event) {
  // A missing folder means no engine runs; a signal never creates it.
  std::string folder = ExistingRuntimeFolder();
  if (folder.empty()) return false;
  sockaddr_un address{};
  if (!FillAddress(SocketPath(folder, event), &address)) return false;
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  char byte = 1;
  ssize_t sent = ::sendto(fd, &byte, 1, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int error = errno;
  ::close(fd);
  // A full queue means the event is already set: delivered.
  return sent == 1 || error == EAGAIN || error == EWOULDBLOCK;
}

std::unique_ptr<InstanceLock> AcquireInstanceLock(bool* unusable) {
  if (unusable != nullptr) *unusable = false;
  std::string folder = CreateRuntimeFolder();
  int fd = folder.empty() ? -1 : ::open((folder + "/Kaptora.Instance.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (!folder.empty()) Log("engine: cannot open the instance lock in %s (error %d)", folder.c_str(), errno);
    if (unusable != nullptr) *unusable = true;
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<FlockInstanceLock>(fd);
}

void SetRuntimeFallbackParent(const std::string& parent) { FallbackParent() = parent; }

std::unique_ptr<ControlEvents> CreateControlEvents() { return CreatePollableControlEvents(); }

std::unique_ptr<PollableControlEvents> CreatePollableControlEvents() {
  auto events = std::make_unique<PosixControlEvents>();
  if (int error = events->Open(); error != 0) {
    if (error > 0) Log("engine: cannot create the control events (error %lu)", static_cast<unsigned long>(error));
    return nullptr;
  }
  return events;
}

}  // namespace kp
