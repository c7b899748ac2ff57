#include "config/data_folders.h"

#include "platform/known_folders.h"
#include "platform/path.h"

namespace kp {

namespace {

std::wstring KaptoraFolderIn(KnownFolder folder) {
  std::wstring base = GetKnownFolder(folder);
  if (base.empty()) base = L".";
  return JoinPath(base, L"Kaptora");
}

}  // namespace

std::wstring SettingsFilePath() { return JoinPath(KaptoraFolderIn(KnownFolder::kRoamingAppData), L"settings.json"); }

std::wstring ClipFolderPath(const std::wstring& configured) {
  if (!configured.empty()) return configured;
  return KaptoraFolderIn(KnownFolder::kVideos);
}

std::wstring BufferFolderPath(const std::wstring& configured) {
  if (!configured.empty()) return configured;
  return JoinPath(KaptoraFolderIn(KnownFolder::kLocalAppData), L"Buffer");
}

}  // namespace kp
