#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/known_folders.h"
#include "platform/text.h"

namespace kp {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// XDG_VIDEOS_DIR from the user-dirs file: XDG_VIDEOS_DIR="$HOME/Videos".
std::string XdgVideos(const std::string& home) {
  std::string config = Env("XDG_CONFIG_HOME");
  if (config.empty()) config = home + "/.config";
  std::ifstream in(config + "/user-dirs.dirs");
  std::string line;
  while (std::getline(in, line)) {
    const std::string key = "XDG_VIDEOS_DIR=\"";
    if (line.rfind(key, 0) != 0 || line.back() != '"') continue;
    std::string value = line.substr(key.size(), line.size() - key.size() - 1);
    if (value.rfind("$HOME", 0) == 0) value = home + value.substr(5);
    if (!value.empty() && value[0] == '/') return value;
  }
  return home + "/Videos";
}

}  // namespace

std::wstring GetKnownFolder(KnownFolder folder) {
  std::string home = Env("HOME");
  std::string result;
  switch (folder) {
    case KnownFolder::kRoamingAppData:
      result = Env("XDG_CONFIG_HOME");
      if (result.empty() && !home.empty()) result = home + "/.config";
      break;
    case KnownFolder::kLocalAppData:
      result = Env("XDG_STATE_HOME");
      if (result.empty() && !home.empty()) result = home + "/.local/state";
      break;
    case KnownFolder::kVideos:
      if (!home.empty()) result = XdgVideos(home);
      break;
  }
  return Utf8ToWide(result);
}

}  // namespace kp
