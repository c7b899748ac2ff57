#include <windows.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "app/record_output.h"
#include "platform/text.h"

namespace kp {

void PrintSavedLine(const std::wstring& path) {
  // The C runtime's "%ls" stops at the first character outside the ANSI
  // code page; a console takes the wide text itself, anything else UTF-8.
  const std::wstring line = L"saved             : " + path + L"\n";
  const intptr_t handle = ::_get_osfhandle(::_fileno(stdout));
  DWORD mode = 0;
  if (handle != -1 && ::GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode)) {
    std::fflush(stdout);
    DWORD written = 0;
    if (::WriteConsoleW(reinterpret_cast<HANDLE>(handle), line.data(), static_cast<DWORD>(line.size()), &written,
                        nullptr)) {
      return;
    }
  }
  std::fputs(WideToUtf8(line).c_str(), stdout);
}

}  // namespace kp
