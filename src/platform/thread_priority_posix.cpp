#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/thread_priority.h"

namespace kp {

bool SetCurrentThreadPriority(ThreadPriority priority) {
  // Linux applies nice values per thread; raising priority needs privilege,
  // which an ordinary user lacks, so failure is expected and harmless.
  int nice = priority == ThreadPriority::kNormal ? 0 : priority == ThreadPriority::kAboveNormal ? -5 : -10;
  pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
  return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0;
}

}  // namespace kp
