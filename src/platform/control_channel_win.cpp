// Named kernel objects in the session's Local\ namespace.
#include <windows.h>

#include <array>

#include "app/log.h"
#include "platform/control_channel_win.h"
#include "platform/unique_handle_win.h"

namespace kp {

namespace {

class MutexInstanceLock : public InstanceLock {
 public:
  explicit MutexInstanceLock(HANDLE mutex) : mutex_(mutex) {}
  ~MutexInstanceLock() override { ::ReleaseMutex(mutex_.Get()); }

 private:
  UniqueHandle mutex_;
};

class WinControlEvents : public WaitableControlEvents {
 public:
  static constexpr const std::array<ControlEvent, 4>& kEvents = kOrder;

  bool Open() {
    for (size_t i = 0; i < kEvents.size(); ++i) {
      BOOL manualReset = kEvents[i] == ControlEvent::kStop ? TRUE : FALSE;
      events_[i].Reset(::CreateEventW(nullptr, manualReset, FALSE, ControlEventName(kEvents[i])));
      if (!events_[i].Valid()) return false;
      handles_[i] = events_[i].Get();
    }
    return true;
  }

  Wake Wait(int timeoutMs) override {
    DWORD result = ::MsgWaitForMultipleObjects(static_cast<DWORD>(handles_.size()), handles_.data(), FALSE,
                                               timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs), QS_ALLINPUT);
    if (result < WAIT_OBJECT_0 + handles_.size()) return {Wake::Kind::kEvent, kEvents[result - WAIT_OBJECT_0]};
    if (result == WAIT_OBJECT_0 + handles_.size()) {
      MSG message;
      bool quit = false;
      while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) quit = true;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
      }
      return {quit ? Wake::Kind::kQuit : Wake::Kind::kTimeout, ControlEvent::kSave};
    }
    if (result == WAIT_TIMEOUT) return {};
    return {Wake::Kind::kError, ControlEvent::kSave};
  }

  const std::array<HANDLE, 4>& Handles() const override { return handles_; }

 private:
  std::array<UniqueHandle, 4> events_;
  std::array<HANDLE, 4> handles_{};
};

}  // namespace

bool SignalControlEvent(ControlEvent event) {
  HANDLE handle = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, ControlEventName(event));
  if (handle == nullptr) return false;
  ::SetEvent(handle);
  ::CloseHandle(handle);
  return true;
}

// A mutex that cannot be opened (ERROR_ACCESS_DENIED: an engine of another
// integrity level holds it) means another engine, never an unusable lock.
std::unique_ptr<InstanceLock> AcquireInstanceLock(bool* unusable) {
  if (unusable != nullptr) *unusable = false;
  HANDLE mutex = ::CreateMutexW(nullptr, TRUE, kInstanceMutexName);
  if (mutex == nullptr) return nullptr;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return nullptr;
  }
  return std::make_unique<MutexInstanceLock>(mutex);
}

std::unique_ptr<WaitableControlEvents> CreateWaitableControlEvents() {
  auto events = std::make_unique<WinControlEvents>();
  if (!events->Open()) {
    Log("engine: cannot create the control events (error %lu)", ::GetLastError());
    return nullptr;
  }
  return events;
}

std::unique_ptr<ControlEvents> CreateControlEvents() { return CreateWaitableControlEvents(); }

}  // namespace kp
