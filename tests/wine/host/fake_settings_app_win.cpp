// Stands in for Kaptora.Settings.exe beside a copy of Kaptora.exe: appends
// its command line after the program name, one line per start, to
// launched.txt in its own folder, so a test sees what the engine launched.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain() {
  wchar_t path[520];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, 520);
  std::wstring log(path, n);
  log = log.substr(0, log.find_last_of(L'\\') + 1) + L"launched.txt";
  // The arguments start after the (possibly quoted) program name.
  const wchar_t* line = ::GetCommandLineW();
  bool quoted = false;
  for (; *line != L'\0' && (quoted || (*line != L' ' && *line != L'\t')); ++line) {
    if (*line == L'"') quoted = !quoted;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  std::FILE* file = ::_wfopen(log.c_str(), L"ab");
  if (file == nullptr) return 1;
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size > 0 ? size - 1 : 0), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8.data(), size, nullptr, nullptr);
  std::fprintf(file, "%s\n", utf8.c_str());
  std::fclose(file);
  return 0;
}
