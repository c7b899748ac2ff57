#include <unistd.h>

#include "platform/process_id.h"

namespace kp {

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

}  // namespace kp
