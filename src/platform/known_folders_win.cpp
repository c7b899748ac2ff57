#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "platform/known_folders.h"

namespace kp {

std::wstring GetKnownFolder(KnownFolder folder) {
  const KNOWNFOLDERID& id = folder == KnownFolder::kRoamingAppData ? FOLDERID_RoamingAppData
                            : folder == KnownFolder::kLocalAppData ? FOLDERID_LocalAppData
                                                                    : FOLDERID_Videos;
  PWSTR path = nullptr;
  std::wstring result;
  if (SUCCEEDED(::SHGetKnownFolderPath(id, 0, nullptr, &path)) && path != nullptr) result = path;
  ::CoTaskMemFree(path);
  return result;
}

}  // namespace kp
