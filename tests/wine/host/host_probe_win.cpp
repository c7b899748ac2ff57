// The test side of the engine-host check (exe_check.py host), run in the
// engine's Wine session:
//   find                     exit 0 when a window of class "KaptoraEngine" exists
//   quit                     posts WM_QUIT to that window (as the tray's Exit
//                            ends the loop); exit 1 when there is none
//   hotkey MODS VK [MARKER]  exit 1 when the system refuses this process the
//                            hotkey; else, with MARKER, creates that file and
//                            holds the hotkey until it is deleted (at most 60 s)
// MODS and VK are decimal or 0x-prefixed numbers. Copied beside a copy of
// Kaptora.exe as Kaptora.Settings.exe, it stands in for the settings
// application instead: it appends its command line after the program name
// to launched.txt in its own folder, one line per start.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int RecordLaunch(const std::wstring& program) {
  const wchar_t* line = ::GetCommandLineW();
  for (bool quoted = false; *line != L'\0' && (quoted || *line != L' '); ++line) {
    if (*line == L'"') quoted = !quoted;
  }
  while (*line == L' ') ++line;
  std::FILE* file = ::_wfopen((program.substr(0, program.find_last_of(L'\\') + 1) + L"launched.txt").c_str(), L"ab");
  if (file == nullptr) return 1;
  std::fprintf(file, "%ls\n", line);
  std::fclose(file);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  wchar_t path[MAX_PATH] = {};
  const std::wstring program(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
  if (program.ends_with(L"\\Kaptora.Settings.exe")) return RecordLaunch(program);
  const std::wstring command = argc > 1 ? argv[1] : L"";
  HWND window = ::FindWindowW(L"KaptoraEngine", nullptr);
  if (command == L"find" && argc == 2) return window != nullptr ? 0 : 1;
  if (command == L"quit" && argc == 2) return window != nullptr && ::PostMessageW(window, WM_QUIT, 0, 0) ? 0 : 1;
  if (command == L"hotkey" && (argc == 4 || argc == 5)) {
    const auto number = [](const wchar_t* text) { return static_cast<UINT>(std::wcstoul(text, nullptr, 0)); };
    if (!::RegisterHotKey(nullptr, 1, number(argv[2]), number(argv[3]))) return 1;
    if (argc == 5) {
      HANDLE file = ::CreateFileW(argv[4], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) return 1;
      ::CloseHandle(file);
      for (int i = 0; i < 600 && ::GetFileAttributesW(argv[4]) != INVALID_FILE_ATTRIBUTES; ++i) ::Sleep(100);
    }
    ::UnregisterHotKey(nullptr, 1);
    return 0;
  }
  std::fputs("usage: host_probe_win find | quit | hotkey MODS VK [MARKER]\n", stderr);
  return 2;
}
