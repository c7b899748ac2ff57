#include <windows.h>

#include "app/record_interrupt.h"

namespace kp {

namespace {

// Longer than the system's own limit for a closing console: the process is
// ended by the system, never left waiting here.
constexpr DWORD kCloseWaitMs = 30'000;

std::atomic<std::atomic<bool>*> gStop{nullptr};
// Set when the record is over. Lives for the process, so a handler still
// waiting on it never sees a closed handle.
HANDLE gDone = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD type) {
  std::atomic<bool>* stop = gStop.load();
  if (stop == nullptr) return FALSE;
  stop->store(true);
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) return TRUE;
  // Close, log-off, shut-down: returning lets the system end the process at
  // once, so hold it until the file is written (or the system's time is up).
  if (gDone != nullptr) ::WaitForSingleObject(gDone, kCloseWaitMs);
  return TRUE;
}

}  // namespace

RecordInterrupt::RecordInterrupt(std::atomic<bool>& stop) {
  if (gDone == nullptr) gDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (gDone != nullptr) ::ResetEvent(gDone);
  gStop.store(&stop);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

RecordInterrupt::~RecordInterrupt() {
  ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  gStop.store(nullptr);
  if (gDone != nullptr) ::SetEvent(gDone);
}

}  // namespace kp
