// The test side of the engine-host check (exe_check.py host), run in the
// engine's Wine session:
//   find                     exit 0 when a window of class "KaptoraEngine" exists
//   post MESSAGE LPARAM      posts MESSAGE with wParam 0 and LPARAM to that
//                            window; exit 1 when there is none or the post fails
//   manifest EXE             prints EXE's manifest resource (1 of type 24);
//                            exit 1 when it has none
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

int PrintManifest(const wchar_t* exe) {
  HMODULE module = ::LoadLibraryExW(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) return 1;
  HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  HGLOBAL loaded = found != nullptr ? ::LoadResource(module, found) : nullptr;
  const void* bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
  if (bytes != nullptr) std::fwrite(bytes, 1, ::SizeofResource(module, found), stdout);
  ::FreeLibrary(module);
  return bytes != nullptr ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  wchar_t path[MAX_PATH] = {};
  const std::wstring program(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
  if (program.ends_with(L"\\Kaptora.Settings.exe")) return RecordLaunch(program);
  const std::wstring command = argc > 1 ? argv[1] : L"";
  HWND window = ::FindWindowW(L"KaptoraEngine", nullptr);
  if (command == L"find" && argc == 2) return window != nullptr ? 0 : 1;
  const auto number = [](const wchar_t* text) { return std::wcstoull(text, nullptr, 0); };
  if (command == L"post" && argc == 4) {
    return window != nullptr && ::PostMessageW(window, static_cast<UINT>(number(argv[2])), 0,
                                               static_cast<LPARAM>(number(argv[3])))
               ? 0
               : 1;
  }
  if (command == L"manifest" && argc == 3) return PrintManifest(argv[2]);
  if (command == L"hotkey" && (argc == 4 || argc == 5)) {
    if (!::RegisterHotKey(nullptr, 1, static_cast<UINT>(number(argv[2])), static_cast<UINT>(number(argv[3])))) {
      return 1;
    }
    if (argc == 5) {
      HANDLE file = ::CreateFileW(argv[4], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) return 1;
      ::CloseHandle(file);
      for (int i = 0; i < 600 && ::GetFileAttributesW(argv[4]) != INVALID_FILE_ATTRIBUTES; ++i) ::Sleep(100);
    }
    ::UnregisterHotKey(nullptr, 1);
    return 0;
  }
  std::fputs("usage: host_probe_win find | post MESSAGE LPARAM | manifest EXE | hotkey MODS VK [MARKER]\n", stderr);
  return 2;
}
