#include <windows.h>

#include "platform/local_time.h"

namespace kp {

LocalTime GetLocalTimeNow() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

int64_t PreciseSystemTimeNow() {
  FILETIME ft;
  ::GetSystemTimePreciseAsFileTime(&ft);
  return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

LocalTime LocalTimeOf(int64_t systemTime) {
  const uint64_t value = static_cast<uint64_t>(systemTime);
  FILETIME ft{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
  SYSTEMTIME utc{};
  SYSTEMTIME local{};
  // A failed conversion leaves zeros: the time only decorates a log line.
  if (!::FileTimeToSystemTime(&ft, &utc) || !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return {};
  return {local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds};
}

}  // namespace kp
