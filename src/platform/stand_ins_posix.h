// Whether the Linux build must run on its stand-ins (the synthetic desktop,
// the tone generators) whatever the machine offers: "--stand-ins" on the
// command line, so tests stay deterministic on a machine with a desktop.
#pragma once

namespace kp {

void RequireStandIns();
bool StandInsRequired();

}  // namespace kp
