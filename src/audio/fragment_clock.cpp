#include "audio/fragment_clock.h"

#include <cstdlib>

namespace kp {

int64_t FragmentClock::Next(int64_t estimate, uint32_t frames) {
  const int64_t counted = anchor_ + frames_ * 10'000'000 / 48'000;
  const int64_t error = estimate - counted;
  const bool settling = counted - startedAt_ < kSettle;
  if (!started_ || (settling && error >= kTolerance) ||
      (disagreeing_ && std::llabs(error) >= kTolerance && counted - disagreeFrom_ >= kSettle)) {
    if (!started_) startedAt_ = estimate;
    started_ = true;
    anchor_ = estimate;
    frames_ = frames;
    disagreeing_ = false;
    return estimate;
  }
  if (std::llabs(error) >= kTolerance) {
    if (!disagreeing_) disagreeFrom_ = counted;
    disagreeing_ = true;
  } else {
    disagreeing_ = false;
  }
  frames_ += frames;
  return counted;
}

}  // namespace kp
