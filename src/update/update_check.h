// The update check: asks the manifest addresses listed in updates.json beside
// the executable, in order, until one names a version, and reports that
// version when it is newer than this program's.
#pragma once

#include <optional>
#include <set>
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

// The plain-http addresses whose missing TLS was already logged.
using PlainHttpNotices = std::set<std::wstring>;

// Asks `urls` in order through `client`, logging one "update: " line per
// address that answers badly and one for the version found, and stops at the
// first manifest that names a version. Present only when that version is newer
// than kProgramVersion. An http:// address is asked all the same, but the
// first time it is asked (by `noticed`) the log says it is not protected.
std::optional<UpdateInfo> CheckForUpdates(const std::vector<std::wstring>& urls, HttpClient& client,
                                          PlainHttpNotices& noticed);

// One complete check: reads updates.json afresh and uses the platform client;
// each plain-http address is logged as such once per process. Called from
// one thread at a time (the update thread).
std::optional<UpdateInfo> CheckForUpdates();

}  // namespace kp
