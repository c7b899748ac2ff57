// Where the program keeps its files: the settings file, the clip folder and
// the replay buffer's folder. Derived from the user's standard folders; an
// empty configured folder selects the default. Nothing is created here.
#pragma once

#include <string>

namespace kp {

// RoamingAppData + "\Kaptora\settings.json" (base "." when unknown).
std::wstring SettingsFilePath();
// `configured` when not empty, else Videos + "\Kaptora".
std::wstring ClipFolderPath(const std::wstring& configured);
// `configured` when not empty, else LocalAppData + "\Kaptora\Buffer".
std::wstring BufferFolderPath(const std::wstring& configured);

}  // namespace kp
