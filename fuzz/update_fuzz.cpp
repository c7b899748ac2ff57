// libFuzzer target for what the update check reads from outside: the
// updates.json document and the manifest bodies from the network, and the
// version text a manifest announces. Besides not crashing, the results must
// keep their contracts: listed URLs are never empty, a version list has at
// least three numbers and one per piece, and "newer" is a strict order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/manifest.h"
#include "update/version.h"

namespace {

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "broken contract: %s\n", what);
    std::abort();
  }
}

void CheckVersionRules(std::string_view a, std::string_view b) {
  const size_t pieces = static_cast<size_t>(std::count(a.begin(), a.end(), '.')) + 1;
  Require(kp::ParseVersion(a).size() == std::max<size_t>(pieces, 3), "one number per piece, at least three");
  Require(!kp::IsNewer(a, a), "a version is not newer than itself");
  Require(!(kp::IsNewer(a, b) && kp::IsNewer(b, a)), "newer is asymmetric");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  for (const std::wstring& url : kp::ParseManifestUrls(input)) Require(!url.empty(), "no empty URL is listed");

  if (const std::optional<kp::Manifest> manifest = kp::ParseManifest(input)) {
    CheckVersionRules(manifest->version, kp::kProgramVersion);
  }
  // The raw bytes as a version text, against the other half of themselves.
  CheckVersionRules(input.substr(0, size / 2), input.substr(size / 2));
  return 0;
}
