// The export command's conversation with the process that started it: how
// often progress lines are printed, and which lines on standard input ask
// for cancellation.
#pragma once

#include <cstdint>
#include <string>

namespace kp {

// Decides whether a progress value is worth a line: the first always is;
// later ones when they moved by at least 0.001 or 0.25 s have passed since
// the last printed line.
class ProgressLimiter {
 public:
  static constexpr double kMinStep = 0.001;
  static constexpr int64_t kMinInterval = 2'500'000;  // ticks

  // True when `value` at time `now` should be printed (and is remembered).
  bool ShouldPrint(double value, int64_t now);

 private:
  double lastValue_ = -1.0;
  int64_t lastTime_ = 0;
};

// Splits standard input into lines; a line that begins with the six bytes
// "cancel" asks for cancellation, anything else is ignored.
class CancelLineReader {
 public:
  // Takes one byte; true when it completed a cancel line.
  bool Feed(char byte);

 private:
  std::string line_;
};

}  // namespace kp
