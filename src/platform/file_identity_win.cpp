#include <windows.h>

#include "platform/file_identity.h"
#include "platform/unique_handle_win.h"

namespace kp {

std::optional<FileIdentity> IdentifyFile(const std::wstring& path) {
  // No access rights are needed to read the identity; sharing everything
  // keeps other openers undisturbed, and backup semantics allow folders.
  UniqueHandle file(::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.Valid()) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.Get(), &info)) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber,
                      (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

}  // namespace kp
