// The last line of `record`, which names the written file, whatever its
// characters: a Windows console gets it as wide text (WriteConsoleW), files,
// pipes and POSIX terminals get UTF-8.
#pragma once

#include <string>

namespace kp {

// "saved             : <path>\n" on standard output.
void PrintSavedLine(const std::wstring& path);

}  // namespace kp
