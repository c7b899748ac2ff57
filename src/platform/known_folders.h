// The user's standard folders. Each returns an empty string when the system
// cannot say; callers then use "." as the base.
#pragma once

#include <string>

namespace kp {

enum class KnownFolder {
  kRoamingAppData,  // Linux: $XDG_CONFIG_HOME, else ~/.config
  kLocalAppData,    // Linux: $XDG_STATE_HOME, else ~/.local/state
  kVideos,          // Linux: the XDG videos folder, else ~/Videos
};

std::wstring GetKnownFolder(KnownFolder folder);

}  // namespace kp
