#include <windows.h>

#include "platform/local_time.h"

namespace kp {

LocalTime GetLocalTimeNow() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

}  // namespace kp
