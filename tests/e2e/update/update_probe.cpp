// One update check exactly as the engine's update thread runs it, without
// the 30-second wait: reads updates.json beside this program, asks the
// addresses through the platform's HTTP client and prints what it found.
// The check's own lines go to standard error through the log.
#include <cstdio>

#include "update/update_check.h"

int main() {
  const std::vector<std::wstring> urls = kp::ReadManifestUrls();
  std::printf("urls %u\n", static_cast<unsigned>(urls.size()));
  const std::optional<kp::UpdateInfo> info = kp::CheckForUpdates();
  if (info) {
    std::printf("update %s|%s\n", info->version.c_str(), info->notes.c_str());
  } else {
    std::printf("no update\n");
  }
  return 0;
}
