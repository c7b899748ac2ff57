#include <windows.h>

#include "platform/path.h"

namespace kp {

// Fixed 520-character buffers: the manifest's longPathAware lifts the limit
// of the file calls, not these; a longer path reads as a failure.

std::wstring MakeAbsolutePath(const std::wstring& path) {
  wchar_t buffer[520];
  DWORD length = ::GetFullPathNameW(path.c_str(), 520, buffer, nullptr);
  // 0 is failure; a result of 520 or more did not fit the buffer. Either way
  // the caller takes the path as typed.
  if (length == 0 || length >= 520) return {};
  return std::wstring(buffer, length);
}

std::wstring ExecutablePath() {
  wchar_t buffer[520];
  DWORD length = ::GetModuleFileNameW(nullptr, buffer, 520);
  // A full buffer means the path was cut.
  if (length == 0 || length >= 520) return {};
  return std::wstring(buffer, length);
}

}  // namespace kp

namespace kp {

namespace {

std::wstring FolderSpelling(const std::wstring& path) {
  std::wstring key = MakeAbsolutePath(path);
  if (key.empty()) key = path;
  // "C:\" keeps its separator; "C:\x\" and "C:\x/" lose theirs.
  while (key.size() > 3 && (key.back() == L'\\' || key.back() == L'/')) key.pop_back();
  return key;
}

}  // namespace

bool SameFolderPath(const std::wstring& a, const std::wstring& b) {
  const std::wstring x = FolderSpelling(a);
  const std::wstring y = FolderSpelling(b);
  return ::CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(), static_cast<int>(y.size()), TRUE) ==
         CSTR_EQUAL;
}

}  // namespace kp
