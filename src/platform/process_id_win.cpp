#include <windows.h>

#include "platform/process_id.h"

namespace kp {

uint32_t CurrentProcessId() { return ::GetCurrentProcessId(); }

}  // namespace kp
