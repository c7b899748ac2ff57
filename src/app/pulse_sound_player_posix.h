// Short sounds on the sound server's default sink, through PulseAudio's
// interface (PipeWire serves it too). A thread of the player's own talks to
// the server, so a caller never waits for it: Play only hands the sound
// over. The thread connects when the player is made and never starts a
// server (no autospawn).
//
// One sound plays at a time: a sound handed over while another plays
// replaces it (the older one is cut off), as the latest save's sound is the
// one that tells something.
#pragma once

#include <memory>

#include "app/pcm_wav.h"

namespace kp {

class PulseSoundPlayer {
 public:
  PulseSoundPlayer();
  // Stops the thread; a sound still playing is cut off.
  ~PulseSoundPlayer();
  PulseSoundPlayer(const PulseSoundPlayer&) = delete;
  PulseSoundPlayer& operator=(const PulseSoundPlayer&) = delete;

  // Hands `sound` to the thread and returns at once. False when no server
  // answered the latest connection attempt: the sound is dropped and the
  // thread tries again, so a server that comes back plays the next sound.
  // While an attempt is under way the sound waits for its end (and is
  // dropped if it fails); a sound the server refuses is dropped too.
  bool Play(PcmSound sound);

 private:
  struct Loop;
  std::unique_ptr<Loop> loop_;
};

}  // namespace kp
