// The program after the platform's entry point has set up the process: parses
// the words after the program name and runs the engine, a one-shot command or
// a signal to the running engine. Returns the process exit code.
#pragma once

#include <string>
#include <vector>

namespace kp {

// `instance` is the module instance handle on Windows (null elsewhere),
// handed to the engine host for its window class.
int RunKaptora(void* instance, const std::vector<std::wstring>& words);

// A malformed command line: prints the usage text to standard error and
// returns the exit code 2. Nothing is started.
int UsageError();

}  // namespace kp
