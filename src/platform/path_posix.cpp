#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/path.h"
#include "platform/text.h"

namespace kp {

// Like GetFullPathNameW: purely textual (the path need not exist), relative
// paths are resolved against the current directory, "." and ".." folded.
std::wstring MakeAbsolutePath(const std::wstring& path) {
  if (path.empty()) return {};
  std::wstring full = path;
  if (full[0] != L'/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return {};
    full = Utf8ToWide(cwd) + L"/" + path;
  }
  std::vector<std::wstring> parts;
  size_t i = 0;
  while (i <= full.size()) {
    size_t next = full.find(L'/', i);
    if (next == std::wstring::npos) next = full.size();
    std::wstring part = full.substr(i, next - i);
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(std::move(part));
    }
    i = next + 1;
  }
  std::wstring out;
  for (const std::wstring& part : parts) out += L"/" + part;
  if (out.empty()) return L"/";
  if (full.back() == L'/') out += L"/";
  return out;
}

std::wstring ExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  // A full buffer may hold a cut path.
  if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return {};
  return Utf8ToWide(std::string_view(buffer, static_cast<size_t>(length)));
}

}  // namespace kp

namespace kp {

namespace {

std::wstring FolderSpelling(const std::wstring& path) {
  std::wstring key = MakeAbsolutePath(path);
  if (key.empty()) key = path;
  while (key.size() > 1 && key.back() == L'/') key.pop_back();
  return key;
}

}  // namespace

bool SameFolderPath(const std::wstring& a, const std::wstring& b) { return FolderSpelling(a) == FolderSpelling(b); }

}  // namespace kp
