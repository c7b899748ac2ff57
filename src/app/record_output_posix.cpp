#include <cstdio>

#include "app/record_output.h"
#include "platform/text.h"

namespace kp {

void PrintSavedLine(const std::wstring& path) {
  std::printf("saved             : %s\n", WideToUtf8(path).c_str());
}

}  // namespace kp
