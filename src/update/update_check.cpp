#include "update/update_check.h"

#include <cstdint>

#include "app/log.h"
#include "platform/files.h"
#include "platform/path.h"
#include "platform/text.h"
#include "update/http_get.h"
#include "update/manifest.h"
#include "update/version.h"

namespace kp {

std::vector<std::wstring> ReadManifestUrls() {
  const std::wstring executable = ExecutablePath();
  if (executable.empty()) return {};
  std::string bytes;
  if (!ReadWholeFile(SystemFiles(), JoinPath(ParentFolder(executable), L"updates.json"), &bytes)) return {};
  return ParseManifestUrls(bytes);
}

namespace {

bool IsPlainHttp(const std::wstring& url) {
  static constexpr wchar_t kScheme[] = L"http://";
  if (url.size() < 7) return false;
  for (size_t i = 0; i < 7; ++i) {
    wchar_t c = url[i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != kScheme[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<UpdateInfo> CheckForUpdates(const std::vector<std::wstring>& urls, HttpClient& client,
                                          PlainHttpNotices& noticed) {
  for (const std::wstring& url : urls) {
    const std::string urlText = WideToUtf8(url);
    if (IsPlainHttp(url) && noticed.insert(url).second) {
      Log("update: %s is not protected by TLS", urlText.c_str());
    }
    uint32_t status = 0;
    const std::optional<std::string> body = HttpGet(client, url, &status);
    if (!body) {
      if (status != 0) {
        Log("update: %s answered %lu", urlText.c_str(), static_cast<unsigned long>(status));
      } else {
        Log("update: %s unreachable", urlText.c_str());
      }
      continue;
    }
    const std::optional<Manifest> manifest = ParseManifest(*body);
    if (!manifest) {
      Log("update: %s is not a valid manifest", urlText.c_str());
      continue;
    }
    if (manifest->version.empty()) continue;
    Log("update: latest is %s (this is %s)", manifest->version.c_str(), kProgramVersion);
    if (!IsNewer(manifest->version, kProgramVersion)) return std::nullopt;
    return UpdateInfo{manifest->version, manifest->notes};
  }
  return std::nullopt;
}

std::optional<UpdateInfo> CheckForUpdates() {
  const std::vector<std::wstring> urls = ReadManifestUrls();
  if (urls.empty()) return std::nullopt;
  std::unique_ptr<HttpClient> client = CreateHttpClient();
  static PlainHttpNotices noticed;
  return CheckForUpdates(urls, *client, noticed);
}

}  // namespace kp
