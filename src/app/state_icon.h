// The tray's state icons and the save and failure sounds, as pure data: the
// shell turns the pixels into an icon and plays the WAV bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "app/host_shell.h"

namespace kp {

struct IconColour {
  uint8_t red = 0;
  uint8_t green = 0;
  uint8_t blue = 0;
};

// Red while recording, grey while paused, amber while waiting for the screen.
IconColour StateColour(TrayState state);

// `size` x `size` top-down BGRA pixels (not premultiplied): a dot of radius
// 0.36 size in `colour` on a white disc of radius 0.47 size, each with a
// one-pixel soft edge, transparent outside.
std::vector<uint8_t> StateIconPixels(int size, IconColour colour);

// The failure sound: a 16-bit mono 44.1 kHz PCM WAV image of 440 Hz for
// 0.14 s then 329.6 Hz for 0.3 s. Built once (thread-safe) and kept.
const std::vector<uint8_t>& FailureSoundWav();

// The save confirmation sound: a 16-bit stereo 48 kHz PCM WAV image of a
// short rising chime, 880 Hz then 1318.5 Hz 75 ms later, 0.29 s in all. The
// Windows build carries it as a resource (made by kaptora-resources); the
// Linux shell plays it from here. Built once (thread-safe) and kept.
const std::vector<uint8_t>& SaveSoundWav();

}  // namespace kp
