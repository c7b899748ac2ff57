// The background schedule of the update check, shared by the hosts.
#pragma once

#include <functional>
#include <optional>

#include "platform/clock.h"
#include "update/update_check.h"

namespace kp {

inline constexpr int64_t kFirstUpdateCheckDelayMs = 30'000;
inline constexpr int64_t kUpdateCheckIntervalMs = 86'400'000;
inline constexpr int64_t kUpdateWakeIntervalMs = 900'000;

struct UpdateThreadHooks {
  // Whether the host still exists (on Windows: IsWindow on the engine window).
  // Asked at every wake; false ends the thread.
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
// runs check() and posts its result, then wakes every kUpdateWakeIntervalMs
// while hostExists() and checks again once the wall clock
// (Clock::SystemTimeNow) is kUpdateCheckIntervalMs past the last check's
// start, or earlier than it. The wall clock counts the hours a laptop
// sleeps, which a sleeping thread's wait does not, so the check stays
// daily by the calendar. The thread keeps only its own copies of the hooks
// and `clock`, which must live for the process (SystemClock()).
void StartUpdateThread(UpdateThreadHooks hooks, Clock& clock = SystemClock());

}  // namespace kp
