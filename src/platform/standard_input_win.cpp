#include <windows.h>

#include "platform/standard_input.h"

namespace kp {

bool StandardInputIsPipe() {
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  return input != nullptr && input != INVALID_HANDLE_VALUE && ::GetFileType(input) == FILE_TYPE_PIPE;
}

bool ReadStandardInputByte(char* byte) {
  DWORD read = 0;
  return ::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), byte, 1, &read, nullptr) && read == 1;
}

}  // namespace kp
