// What the platform's entry point found out while setting up the process,
// kept until the log is open to say it. Set once at entry, before any other
// thread starts.
#pragma once

namespace kp {

// Whether the process ended up per-monitor DPI aware (version 2). True
// unless the entry point found otherwise (always on Linux).
void SetPerMonitorDpiAware(bool aware);
bool PerMonitorDpiAware();

}  // namespace kp
