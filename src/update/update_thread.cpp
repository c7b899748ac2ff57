#include "update/update_thread.h"

#include <memory>
#include <thread>
#include <utility>

namespace kp {

namespace {

constexpr int64_t kUpdateCheckInterval = kUpdateCheckIntervalMs * kTicksPerMillisecond;

// Due once the wall clock is a whole interval past the last check, or when
// it was set back before it (waiting for it to catch up could take years).
bool CheckDue(int64_t systemNow, int64_t lastCheck) {
  return systemNow - lastCheck >= kUpdateCheckInterval || systemNow < lastCheck;
}

}  // namespace

void StartUpdateThread(UpdateThreadHooks hooks, Clock& clock) {
  std::thread([hooks = std::move(hooks), &clock] {
    clock.SleepMs(kFirstUpdateCheckDelayMs);
    bool checked = false;
    int64_t lastCheck = 0;
    while (hooks.hostExists()) {
      if (!checked || CheckDue(clock.SystemTimeNow(), lastCheck)) {
        checked = true;
        lastCheck = clock.SystemTimeNow();
        if (std::optional<UpdateInfo> found = hooks.check()) {
          auto record = std::make_unique<UpdateInfo>(std::move(*found));
          if (hooks.post(record.get())) record.release();
        }
      }
      clock.SleepMs(kUpdateWakeIntervalMs);
    }
  }).detach();
}

}  // namespace kp
