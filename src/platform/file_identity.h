// Which file a path names, so two different paths (relative and absolute,
// links, other spellings) can be recognized as the same file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kp {

// Volume and file number (GetFileInformationByHandle on Windows, st_dev and
// st_ino on POSIX).
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};

// Empty when the path names nothing that can be opened.
std::optional<FileIdentity> IdentifyFile(const std::wstring& path);

}  // namespace kp
