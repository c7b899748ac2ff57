// Where the Linux build's sound comes from: the sound server when one
// answers at the first use (and stand-ins are not required), else the tone
// generators. Decided once per process.
#pragma once

#include <string>

namespace kp {

// For the start-up line "engine: audio from %s".
std::string PlatformAudioSourceName();

}  // namespace kp
