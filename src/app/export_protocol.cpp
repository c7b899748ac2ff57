#include "app/export_protocol.h"

#include <cmath>

namespace kp {

bool ProgressLimiter::ShouldPrint(double value, int64_t now) {
  if (std::fabs(value - lastValue_) < kMinStep && now - lastTime_ < kMinInterval) return false;
  lastValue_ = value;
  lastTime_ = now;
  return true;
}

bool CancelLineReader::Feed(char byte) {
  if (byte != '\n') {
    // Only the first six bytes of a line matter.
    if (line_.size() < 6) line_.push_back(byte);
    return false;
  }
  const bool cancel = line_ == "cancel";
  line_.clear();
  return cancel;
}

}  // namespace kp
