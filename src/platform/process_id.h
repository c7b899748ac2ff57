// The running process's number, as the system shows it (GetCurrentProcessId
// on Windows, getpid on POSIX).
#pragma once

#include <cstdint>

namespace kp {

uint32_t CurrentProcessId();

}  // namespace kp
