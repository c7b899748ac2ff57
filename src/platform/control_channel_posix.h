// The engine's side of the POSIX control events as poll descriptors, so the
// host can wait on them together with its own (folder watch, timers, posted
// messages) in one poll.
#pragma once

#include <poll.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/control_channel.h"

namespace kp {

class PollableControlEvents : public ControlEvents {
 public:
  // Appends the descriptors to wait on for reading.
  virtual void AppendPollFds(std::vector<pollfd>* fds) const = 0;
  // After a poll over the descriptors AppendPollFds added, starting at
  // `fds`: the one event to serve now (Save, Stop, Reload, ShowSettings
  // order), draining only that one, or nothing.
  virtual std::optional<ControlEvent> TakeReady(const pollfd* fds) = 0;
  // Stop has been seen; it stays set, so a wait must not block any more.
  virtual bool StopSet() const = 0;
};

// Null when the events cannot be created; the reason is logged.
std::unique_ptr<PollableControlEvents> CreatePollableControlEvents();

// The parent of the fallback runtime folder ("kaptora-<uid>" inside it), used
// when $XDG_RUNTIME_DIR is unset or so long that a socket path inside it would
// not fit a Unix socket address. "/tmp" unless a test gives its own.
void SetRuntimeFallbackParent(const std::string& parent);

}  // namespace kp
