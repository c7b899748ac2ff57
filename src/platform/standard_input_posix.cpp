#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/standard_input.h"

namespace kp {

bool StandardInputIsPipe() {
  struct stat st {};
  return ::fstat(STDIN_FILENO, &st) == 0 && S_ISFIFO(st.st_mode);
}

bool ReadStandardInputByte(char* byte) {
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, byte, 1);
    if (n < 0 && errno == EINTR) continue;
    return n == 1;
  }
}

}  // namespace kp
