#include "platform/path.h"

namespace kp {

std::wstring JoinPath(std::wstring_view base, std::wstring_view part) {
  std::wstring out(base);
  out.push_back(kPathSeparator);
  out.append(part);
  return out;
}

std::wstring ParentFolder(std::wstring_view path) {
  size_t pos = path.find_last_of(kPathSeparators);
  if (pos == std::wstring_view::npos) return std::wstring(path);
  return std::wstring(path.substr(0, pos));
}

std::wstring FileName(std::wstring_view path) {
  size_t pos = path.find_last_of(kPathSeparators);
  if (pos == std::wstring_view::npos) return std::wstring(path);
  return std::wstring(path.substr(pos + 1));
}

}  // namespace kp
