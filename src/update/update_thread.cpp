#include "update/update_thread.h"

#include <memory>
#include <thread>
#include <utility>

namespace kp {

void StartUpdateThread(UpdateThreadHooks hooks, Clock& clock) {
  std::thread([hooks = std::move(hooks), &clock] {
    clock.SleepMs(kFirstUpdateCheckDelayMs);
    while (hooks.hostExists()) {
      if (std::optional<UpdateInfo> found = hooks.check()) {
        auto record = std::make_unique<UpdateInfo>(std::move(*found));
        if (hooks.post(record.get())) record.release();
      }
      clock.SleepMs(kUpdateCheckIntervalMs);
    }
  }).detach();
}

}  // namespace kp
