#include <sys/stat.h>

#include "platform/file_identity.h"
#include "platform/text.h"

namespace kp {

std::optional<FileIdentity> IdentifyFile(const std::wstring& path) {
  struct stat st {};
  if (::stat(WideToUtf8(path).c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

}  // namespace kp
