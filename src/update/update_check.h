// The update check: asks the manifest addresses listed in updates.json beside
// the executable, in order, until one names a version, and reports that
// version when it is newer than this program's.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "update/http_client.h"

namespace kp {

struct UpdateInfo {
  std::string version;  // UTF-8
  std::string notes;    // UTF-8, possibly empty
};

// The manifest addresses of updates.json in the executable's folder, in file
// order; empty when the file is missing, unreadable or not JSON, or lists no
// usable address.
std::vector<std::wstring> ReadManifestUrls();

// Asks `urls` in order through `client`, logging one "update: " line per
// address that answers badly and one for the version found, and stops at the
// first manifest that names a version. Present only when that version is newer
// than kProgramVersion.
std::optional<UpdateInfo> CheckForUpdates(const std::vector<std::wstring>& urls, HttpClient& client);

// One complete check: reads updates.json afresh and uses the platform client.
std::optional<UpdateInfo> CheckForUpdates();

}  // namespace kp
