// The test side of the engine-host check (host_check.py), as one small
// program so that it runs in the engine's Wine session:
//   find                 exit 0 when a window of class "KaptoraEngine" exists
//   quit                 posts WM_QUIT to that window (as the tray's Exit ends
//                        the loop); exit 1 when there is none
//   hotkey MODS VK       exit 0 when this process can register the hotkey
//                        (and releases it), 1 when the system refuses it
//   hold MODS VK MARKER  registers the hotkey, creates the file MARKER and
//                        keeps the hotkey until MARKER is deleted (at most 60 s)
//   shell EXE            prints what Shell_NotifyIconW and PlaySoundW return
//                        here (resource 101 of EXE, and a WAV from memory)
// MODS and VK are decimal or 0x-prefixed numbers.
#include <windows.h>
#include <mmsystem.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "app/state_icon.h"

namespace {

UINT Number(const wchar_t* text) { return static_cast<UINT>(std::wcstoul(text, nullptr, 0)); }

int Find() { return ::FindWindowW(L"KaptoraEngine", nullptr) != nullptr ? 0 : 1; }

int Quit() {
  HWND window = ::FindWindowW(L"KaptoraEngine", nullptr);
  if (window == nullptr) return 1;
  return ::PostMessageW(window, WM_QUIT, 0, 0) ? 0 : 1;
}

int TryHotkey(UINT modifiers, UINT key) {
  if (!::RegisterHotKey(nullptr, 1, modifiers, key)) return 1;
  ::UnregisterHotKey(nullptr, 1);
  return 0;
}

int Hold(UINT modifiers, UINT key, const wchar_t* marker) {
  if (!::RegisterHotKey(nullptr, 1, modifiers, key)) return 1;
  HANDLE file = ::CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  ::CloseHandle(file);
  for (int i = 0; i < 600 && ::GetFileAttributesW(marker) != INVALID_FILE_ATTRIBUTES; ++i) ::Sleep(100);
  ::UnregisterHotKey(nullptr, 1);
  return 0;
}

int ShellCalls(const wchar_t* exe) {
  HWND window = ::CreateWindowExW(WS_EX_TOOLWINDOW, L"STATIC", L"probe", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  ::GetModuleHandleW(nullptr), nullptr);
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window;
  data.uID = 1;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
  data.uCallbackMessage = WM_APP + 1;
  data.hIcon = ::LoadIconW(nullptr, MAKEINTRESOURCEW(32512));
  std::wcscpy(data.szTip, L"probe");
  const BOOL added = ::Shell_NotifyIconW(NIM_ADD, &data);
  data.uVersion = NOTIFYICON_VERSION_4;
  const BOOL version = ::Shell_NotifyIconW(NIM_SETVERSION, &data);
  data.uFlags = NIF_INFO;
  std::wcscpy(data.szInfoTitle, L"title");
  std::wcscpy(data.szInfo, L"text");
  data.dwInfoFlags = NIIF_NOSOUND | NIIF_INFO;
  const BOOL balloon = ::Shell_NotifyIconW(NIM_MODIFY, &data);
  const BOOL removed = ::Shell_NotifyIconW(NIM_DELETE, &data);
  std::printf("Shell_NotifyIconW: add %d, setversion %d, balloon %d, delete %d\n", added, version, balloon, removed);

  HMODULE module = ::LoadLibraryExW(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  const BOOL resource = ::PlaySoundW(MAKEINTRESOURCEW(101), module, SND_RESOURCE | SND_SYNC | SND_NODEFAULT);
  const BOOL memory = ::PlaySoundW(reinterpret_cast<LPCWSTR>(kp::FailureSoundWav().data()), nullptr,
                                   SND_MEMORY | SND_SYNC | SND_NODEFAULT);
  const bool found = module != nullptr && ::FindResourceW(module, MAKEINTRESOURCEW(101), L"WAVE") != nullptr;
  std::printf("PlaySoundW: resource 101 %d (WAVE resource %s), memory %d\n", resource, found ? "present" : "missing",
              memory);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"find" && argc == 2) return Find();
  if (command == L"quit" && argc == 2) return Quit();
  if (command == L"hotkey" && argc == 4) return TryHotkey(Number(argv[2]), Number(argv[3]));
  if (command == L"hold" && argc == 5) return Hold(Number(argv[2]), Number(argv[3]), argv[4]);
  if (command == L"shell" && argc == 3) return ShellCalls(argv[2]);
  std::fputs("usage: host_probe_win find|quit|hotkey MODS VK|hold MODS VK MARKER|shell EXE\n", stderr);
  return 2;
}
