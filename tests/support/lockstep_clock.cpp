#include "support/lockstep_clock.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace kp::test {

namespace {

constexpr auto kBusyElsewhere = std::chrono::milliseconds(500);
constexpr auto kPoll = std::chrono::milliseconds(1);

}  // namespace

struct LockstepClock::State : std::enable_shared_from_this<LockstepClock::State> {
  struct Participant {
    bool waiting = false;
    int64_t target = 0;
    std::chrono::steady_clock::time_point lastSeen;
  };

  std::mutex mutex;
  std::condition_variable changed;
  int64_t now = 0;
  bool held = false;
  std::map<std::thread::id, Participant> participants;

  // Mutex held. When nobody is running or due to run, the earliest wake-up,
  // else -1.
  int64_t NextWake() const {
    if (held) return -1;
    const auto realNow = std::chrono::steady_clock::now();
    int64_t next = -1;
    for (const auto& [id, p] : participants) {
      if (!p.waiting) {
        if (realNow - p.lastSeen < kBusyElsewhere) return -1;
        continue;
      }
      if (p.target <= now) return -1;  // woken, not yet running
      if (next < 0 || p.target < next) next = p.target;
    }
    return next;
  }

  // Waits until `ticks` after now, taking part from then on.
  void WaitFor(int64_t ticks);
};

namespace {

// Takes the thread out of the simulation when it ends; the clock may be gone
// by then.
struct ExitGuard {
  std::weak_ptr<LockstepClock::State> state;
  ~ExitGuard() {
    if (auto s = state.lock()) {
      std::lock_guard<std::mutex> lock(s->mutex);
      s->participants.erase(std::this_thread::get_id());
      s->changed.notify_all();
    }
  }
};

}  // namespace

void LockstepClock::State::WaitFor(int64_t ticks) {
  thread_local ExitGuard guard;
  if (guard.state.lock().get() != this) guard.state = weak_from_this();
  std::unique_lock<std::mutex> lock(mutex);
  const int64_t target = now + std::max<int64_t>(ticks, 0);
  Participant& me = participants[std::this_thread::get_id()];
  me.waiting = true;
  me.target = target;
  while (now < target) {
    const int64_t next = NextWake();
    if (next >= 0) {
      now = next;
      changed.notify_all();
      if (now >= target) break;
    }
    changed.wait_for(lock, kPoll);
  }
  me.waiting = false;
  me.lastSeen = std::chrono::steady_clock::now();
}

namespace {

class LockstepTimer : public OneShotTimer {
 public:
  explicit LockstepTimer(std::shared_ptr<LockstepClock::State> state) : state_(std::move(state)) {}
  bool Wait(int64_t ticks) override {
    state_->WaitFor(ticks);
    return true;
  }

 private:
  std::shared_ptr<LockstepClock::State> state_;
};

}  // namespace

LockstepClock::LockstepClock(int64_t start) : state_(std::make_shared<State>()) { state_->now = start; }

LockstepClock::~LockstepClock() = default;

int64_t LockstepClock::Now() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->now;
}

void LockstepClock::SleepMs(int64_t milliseconds) { state_->WaitFor(milliseconds * kTicksPerMillisecond); }

std::unique_ptr<OneShotTimer> LockstepClock::CreateOneShotTimer() { return std::make_unique<LockstepTimer>(state_); }

void LockstepClock::Advance(int64_t ticks) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->now += ticks;
  state_->changed.notify_all();
}

void LockstepClock::Hold(bool held) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->held = held;
  state_->changed.notify_all();
}

}  // namespace kp::test
