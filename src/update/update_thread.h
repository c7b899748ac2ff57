// The background schedule of the update check, shared by the hosts.
#pragma once

#include <functional>
#include <optional>

#include "platform/clock.h"
#include "update/update_check.h"

namespace kp {

inline constexpr int64_t kFirstUpdateCheckDelayMs = 30'000;
inline constexpr int64_t kUpdateCheckIntervalMs = 86'400'000;

struct UpdateThreadHooks {
  // Whether the host still exists (on Windows: IsWindow on the engine window).
  // Asked before every check; false ends the thread.
  std::function<bool()> hostExists;
  // One check; normally CheckForUpdates().
  std::function<std::optional<UpdateInfo>()> check;
  // Hands a newer version to the host. Returning true passes ownership of the
  // heap record to the host (as a posted message does); on false the thread
  // deletes it. Called only after hostExists held, yet the host may be gone
  // by then, so it must fail safely rather than touch the host's memory.
  std::function<bool(UpdateInfo* owned)> post;
};

// Starts a detached thread that sleeps kFirstUpdateCheckDelayMs on `clock`,
// then, while hostExists(), runs check() and posts each result, sleeping
// kUpdateCheckIntervalMs between checks. The thread keeps only its own copies
// of the hooks and `clock`, which must live for the process (SystemClock()).
void StartUpdateThread(UpdateThreadHooks hooks, Clock& clock = SystemClock());

}  // namespace kp
