#include <windows.h>

#include "platform/path.h"

namespace kp {

std::wstring MakeAbsolutePath(const std::wstring& path) {
  wchar_t buffer[520];
  DWORD length = ::GetFullPathNameW(path.c_str(), 520, buffer, nullptr);
  // 0 is failure; a result of 520 or more did not fit the buffer. Either way
  // the caller takes the path as typed.
  if (length == 0 || length >= 520) return {};
  return std::wstring(buffer, length);
}

}  // namespace kp
