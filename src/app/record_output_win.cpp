#include <cstdio>

#include "app/record_output.h"

namespace kp {

void PrintSavedLine(const std::wstring& path) { std::printf("saved             : %ls\n", path.c_str()); }

}  // namespace kp
