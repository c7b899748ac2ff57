// Process-wide settings made at entry, before anything else runs.
#pragma once

namespace kp {

// Asks for per-monitor DPI awareness (version 2) and records whether the
// process got it (a compatibility setting on the exe can refuse it, and
// desktop duplication then fails); opts the process out of power
// throttling, which Windows applies to a process without a visible window
// (refused before Windows 10 1709, which is ignored).
void SetUpProcess();

}  // namespace kp
