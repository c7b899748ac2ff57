// Raises the calling thread's scheduling priority for threads that must keep
// pace (frame pacing, the buffer writer, audio mixing).
#pragma once

namespace kp {

enum class ThreadPriority { kNormal, kAboveNormal, kHighest };

// Best effort: returns false when the system refused (unprivileged POSIX
// processes may not raise their priority); callers carry on either way.
bool SetCurrentThreadPriority(ThreadPriority priority);

}  // namespace kp
