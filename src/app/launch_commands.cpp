#include "app/launch_commands.h"

#include "platform/path.h"

namespace kp {

namespace {

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

}  // namespace

LaunchCommand SettingsAppCommand(const std::wstring& programFolder, bool appExists, const std::wstring& settingsPath,
                                 const std::wstring& extra) {
  if (!appExists) return {L"notepad.exe", Quoted(settingsPath)};
  std::wstring parameters = L"--settings " + Quoted(settingsPath);
  if (!extra.empty()) parameters += L" " + extra;
  return {JoinPath(programFolder, kSettingsAppName), parameters};
}

std::wstring EditClipArguments(const std::wstring& lastClip, bool clipExists) {
  if (lastClip.empty() || !clipExists) return L"--edit";
  return L"--edit " + Quoted(lastClip);
}

LaunchCommand SelectInExplorerCommand(const std::wstring& path) { return {L"explorer.exe", L"/select," + Quoted(path)}; }

}  // namespace kp
