#include "app/process_setup_win.h"

#include <windows.h>

#include "app/process_facts.h"

namespace kp {

namespace {

// Looked up at run time: the check must not add imports of its own.
bool IsPerMonitorAwareV2() {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (user32 == nullptr) return false;
  using GetContextFn = DPI_AWARENESS_CONTEXT(WINAPI*)();
  using EqualFn = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT, DPI_AWARENESS_CONTEXT);
  const auto getContext = reinterpret_cast<GetContextFn>(
      reinterpret_cast<void*>(GetProcAddress(user32, "GetThreadDpiAwarenessContext")));
  const auto equal =
      reinterpret_cast<EqualFn>(reinterpret_cast<void*>(GetProcAddress(user32, "AreDpiAwarenessContextsEqual")));
  if (getContext == nullptr || equal == nullptr) return false;
  return equal(getContext(), DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2) != FALSE;
}

}  // namespace

void SetUpProcess() {
  ::SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  SetPerMonitorDpiAware(IsPerMonitorAwareV2());

  PROCESS_POWER_THROTTLING_STATE throttling{};
  throttling.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  throttling.ControlMask = PROCESS_POWER_THROTTLING_EXECUTION_SPEED;
  throttling.StateMask = 0;  // controlled, and off
  ::SetProcessInformation(::GetCurrentProcess(), ProcessPowerThrottling, &throttling, sizeof throttling);
}

}  // namespace kp
