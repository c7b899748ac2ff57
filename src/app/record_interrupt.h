// Ending `record` early from outside while it still writes what it recorded:
// while an object lives, the console's interrupts set the given stop flag
// instead of ending the process. POSIX: SIGINT, SIGTERM and SIGHUP. Windows:
// Ctrl+C and Ctrl+Break; closing the console window (and log-off or
// shut-down) also sets the flag, and the system then waits for the handler
// only about 5 s, so the handler holds the process until this object goes
// (the file written or given up) and the system ends it then. One object at
// a time, on the thread that runs the record.
#pragma once

#include <atomic>

namespace kp {

class RecordInterrupt {
 public:
  explicit RecordInterrupt(std::atomic<bool>& stop);
  ~RecordInterrupt();
  RecordInterrupt(const RecordInterrupt&) = delete;
  RecordInterrupt& operator=(const RecordInterrupt&) = delete;
};

}  // namespace kp
