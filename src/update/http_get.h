// One manifest download over the HTTP seam.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "update/http_client.h"

namespace kp {

// Reading stops once the body holds this many bytes or more.
inline constexpr size_t kManifestBodyLimit = 1'048'576;

// The body of a GET, present only for status 200. `*status` is the status
// received, 0 when none was. The body is read as long as data is available and
// holds fewer than kManifestBodyLimit bytes, so it may end cut at the read that
// passed the limit; a failed query or read ends it with what was gathered.
std::optional<std::string> HttpGet(HttpClient& client, const std::wstring& url, uint32_t* status);

}  // namespace kp
