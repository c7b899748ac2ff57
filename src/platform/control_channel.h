// How processes of one user session talk to the running engine: a session-wide
// instance lock ("Local\Kaptora.Instance") and four control events. On Windows
// these are a named mutex and named events. The POSIX stand-in keeps them in a
// per-user runtime folder ($XDG_RUNTIME_DIR/kaptora, else, or when socket
// paths there would be too long, /tmp/kaptora-<uid>; mode 0700): the lock is an flock()ed file and each event a Unix datagram
// socket bound by the engine; SIGTERM and SIGINT act as Stop.
#pragma once

#include <memory>
#include <optional>

namespace kp {

enum class ControlEvent { kSave, kStop, kReload, kShowSettings };

// "Local\Kaptora.Save", "Local\Kaptora.Stop", "Local\Kaptora.Reload",
// "Local\Kaptora.ShowSettings".
const wchar_t* ControlEventName(ControlEvent event);
inline constexpr const wchar_t* kInstanceMutexName = L"Local\\Kaptora.Instance";

// Signals the running engine without waiting for it. True when the event
// exists and was set (a full POSIX queue counts: the event is already set);
// false when no engine runs.
bool SignalControlEvent(ControlEvent event);

// Held for the whole life of the engine; released on destruction.
class InstanceLock {
 public:
  virtual ~InstanceLock() = default;
};

// Takes the session-wide instance lock. Returns null when another engine
// holds it, and also when the lock cannot be made at all: either way this
// process must not become the engine. In the second case `*unusable` (when
// given) is set and the reason is logged: no engine can be reached, so there
// is nobody to signal either.
std::unique_ptr<InstanceLock> AcquireInstanceLock(bool* unusable = nullptr);

// The engine's side of the four events, created not signalled.
class ControlEvents {
 public:
  struct Wake {
    enum class Kind { kEvent, kTimeout, kQuit, kError } kind = Kind::kTimeout;
    ControlEvent event = ControlEvent::kSave;
  };

  virtual ~ControlEvents() = default;
  // Waits for one event, at most `timeoutMs` (negative: no limit). Several
  // signals of one auto-reset event before the wake count as one. When
  // several events are signalled the first in the order Save, Stop, Reload,
  // ShowSettings is delivered, so a Save signalled before a Stop is served
  // before the loop ends. On Windows window messages are dispatched while
  // waiting; a WM_QUIT gives kQuit. Stop stays signalled once set (a
  // manual-reset event).
  virtual Wake Wait(int timeoutMs) = 0;
};

// Null when the events cannot be created; the reason is logged.
std::unique_ptr<ControlEvents> CreateControlEvents();

}  // namespace kp
