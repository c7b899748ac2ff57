// The two documents of the update check: updates.json beside the executable,
// which lists manifest addresses, and the manifest each address serves.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kp {

// The strings of the "manifestUrls" array of an updates.json document, in
// file order and converted to wide text; elements that are not strings or are
// empty are skipped. Empty when `bytes` is not JSON or has no such array.
std::vector<std::wstring> ParseManifestUrls(std::string_view bytes);

// The members a manifest announces; each is empty when it is missing or not a
// string. An empty version means the manifest names none.
struct Manifest {
  std::string version;
  std::string notes;
};

// Nothing when `body` is not a JSON document.
std::optional<Manifest> ParseManifest(std::string_view body);

}  // namespace kp
