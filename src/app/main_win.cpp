// Windows entry point of the GUI-subsystem executable.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/entry.h"
#include "app/process_setup_win.h"

namespace {

// A GUI process has no console. When it was started from one and its
// standard error is not redirected, attach to the parent's console so
// messages reach the user; a caller's redirection stays in force.
void AttachParentConsoleIfNeeded() {
  HANDLE stderrHandle = ::GetStdHandle(STD_ERROR_HANDLE);
  if (stderrHandle != nullptr && stderrHandle != INVALID_HANDLE_VALUE &&
      ::GetFileType(stderrHandle) != FILE_TYPE_UNKNOWN) {
    return;
  }
  if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return;
  FILE* stream = nullptr;
  ::freopen_s(&stream, "CONOUT$", "w", stdout);
  ::freopen_s(&stream, "CONOUT$", "w", stderr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  kp::SetUpProcess();
  AttachParentConsoleIfNeeded();

  int count = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  // A command line that cannot be split is malformed: it must not start the
  // engine as an empty one would.
  if (argv == nullptr) return kp::UsageError();
  std::vector<std::wstring> words;
  for (int i = 1; i < count; ++i) words.emplace_back(argv[i]);
  ::LocalFree(argv);
  return kp::RunKaptora(instance, words);
}
