// Where the Linux build's video comes from: the X11 display named by
// $DISPLAY when it answers at the first use (and stand-ins are not
// required), else the synthetic desktop. Decided once per process.
#pragma once

#include <string>

namespace kp {

// For the start-up line "engine: video from %s".
std::string PlatformVideoSourceName();

}  // namespace kp
