// The test side of the engine-host check (host_check.py), run in the
// engine's Wine session:
//   find                     exit 0 when a window of class "KaptoraEngine" exists
//   quit                     posts WM_QUIT to that window (as the tray's Exit
//                            ends the loop); exit 1 when there is none
//   hotkey MODS VK [MARKER]  exit 1 when the system refuses this process the
//                            hotkey; else, with MARKER, creates that file and
//                            holds the hotkey until it is deleted (at most 60 s)
// MODS and VK are decimal or 0x-prefixed numbers.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
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
