// A steady sample clock from capture-time estimates that wander: a sound
// server reports no capture time per fragment, only "now minus the latency
// of what is still queued", and that figure runs ahead or behind for a while
// whenever the server retunes a device's latency (a player with another
// buffer size starts, a device is reconfigured). Positions advance by the
// frames delivered; the clock moves to the estimates only once they have
// disagreed with it by at least 40 ms for half a second in a row, and then
// in one step, so a wandering estimate costs one jump, not a string of them,
// and jitter costs nothing. In the first half second of a stream the first
// figures still include its set-up, and data never arrives before it was
// captured: an estimate 40 ms or more later than the clock is taken at once.
// Portable; ticks are 100 ns.
#pragma once

#include <cstdint>

namespace kp {

class FragmentClock {
 public:
  static constexpr int64_t kTolerance = 400'000;  // 40 ms
  static constexpr int64_t kSettle = 5'000'000;   // 0.5 s

  // The position of a fragment of `frames` frames at 48 kHz whose estimated
  // capture time is `estimate`; the next fragment follows it.
  int64_t Next(int64_t estimate, uint32_t frames);
  // Forgets the clock (a reopened stream starts from its first estimate).
  void Reset() { started_ = false; }

 private:
  bool started_ = false;
  int64_t startedAt_ = 0;    // position of the stream's first frame
  int64_t anchor_ = 0;       // position of the first frame since the last step
  int64_t frames_ = 0;       // frames delivered since then
  int64_t disagreeFrom_ = 0; // position at which the current disagreement began
  bool disagreeing_ = false;
};

}  // namespace kp
