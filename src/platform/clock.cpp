#include "platform/clock.h"

namespace kp {

uint64_t CounterToTicks(uint64_t counter, uint64_t frequency) {
  // Split so neither product can overflow for any realistic counter.
  return (counter / frequency) * 10'000'000ull + ((counter % frequency) * 10'000'000ull) / frequency;
}

}  // namespace kp
