#include "update/http_get.h"

#include <algorithm>

namespace kp {

std::optional<std::string> HttpGet(HttpClient& client, const std::wstring& url, uint32_t* status) {
  *status = 0;
  std::unique_ptr<HttpResponse> response = client.Get(url);
  if (!response) return std::nullopt;
  *status = response->Status();
  if (*status != 200) return std::nullopt;

  std::string body;
  while (body.size() < kManifestBodyLimit) {
    size_t available = 0;
    if (!response->QueryDataAvailable(&available) || available == 0) break;
    const size_t start = body.size();
    body.resize(start + available);
    size_t bytesRead = 0;
    const bool ok = response->Read(body.data() + start, available, &bytesRead);
    body.resize(start + (ok ? std::min(bytesRead, available) : 0));
    if (!ok || bytesRead == 0) break;
  }
  return body;
}

}  // namespace kp
