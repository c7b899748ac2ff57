// The programs the tray starts and their arguments: the settings
// application beside the executable (Notepad on the settings file when it
// is missing), Explorer selecting a clip. Pure; the shell launches.
#pragma once

#include <string>

namespace kp {

struct LaunchCommand {
  std::wstring program;
  std::wstring parameters;

  bool operator==(const LaunchCommand&) const = default;
};

inline constexpr const wchar_t* kSettingsAppName = L"Kaptora.Settings.exe";

// `programFolder` + "Kaptora.Settings.exe" with `--settings "<path>"` and,
// when not empty, a space and `extra`; or, when the application does not
// exist, "notepad.exe" with the quoted settings path.
LaunchCommand SettingsAppCommand(const std::wstring& programFolder, bool appExists, const std::wstring& settingsPath,
                                 const std::wstring& extra);

// The settings application's arguments for editing: `--edit "<clip>"` when
// the last clip exists, else "--edit" alone.
std::wstring EditClipArguments(const std::wstring& lastClip, bool clipExists);

// Explorer with the file selected: `/select,"<path>"`.
LaunchCommand SelectInExplorerCommand(const std::wstring& path);

}  // namespace kp
