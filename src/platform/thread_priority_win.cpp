#include <windows.h>

#include "platform/thread_priority.h"

namespace kp {

bool SetCurrentThreadPriority(ThreadPriority priority) {
  int value = priority == ThreadPriority::kNormal        ? THREAD_PRIORITY_NORMAL
              : priority == ThreadPriority::kAboveNormal ? THREAD_PRIORITY_ABOVE_NORMAL
                                                         : THREAD_PRIORITY_HIGHEST;
  return ::SetThreadPriority(::GetCurrentThread(), value) != 0;
}

}  // namespace kp
