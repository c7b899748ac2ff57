// The update check's HTTP client on Windows: synchronous WinHTTP.
#include <windows.h>
#include <winhttp.h>

#include <string>

#include "update/http_client.h"
#include "update/version.h"

namespace kp {

namespace {

constexpr DWORD kHostChars = 256;
constexpr DWORD kPathChars = 2048;

// The request, connection and session of one GET, closed in that order.
class WinHttpResponse final : public HttpResponse {
 public:
  ~WinHttpResponse() override {
    if (request != nullptr) WinHttpCloseHandle(request);
    if (connection != nullptr) WinHttpCloseHandle(connection);
    if (session != nullptr) WinHttpCloseHandle(session);
  }

  uint32_t Status() override { return status; }

  bool QueryDataAvailable(size_t* bytes) override {
    DWORD available = 0;
    *bytes = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) return false;
    *bytes = available;
    return true;
  }

  bool Read(char* data, size_t size, size_t* bytesRead) override {
    DWORD read = 0;
    *bytesRead = 0;
    const DWORD want = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    if (!WinHttpReadData(request, data, want, &read)) return false;
    *bytesRead = read;
    return true;
  }

  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  uint32_t status = 0;
};

class WinHttpClient final : public HttpClient {
 public:
  std::unique_ptr<HttpResponse> Get(const std::wstring& url) override {
    wchar_t host[kHostChars];
    wchar_t path[kPathChars];
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = kHostChars;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = kPathChars;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return nullptr;

    auto response = std::make_unique<WinHttpResponse>();
    const std::string agent = std::string("Kaptora/") + kProgramVersion;
    const std::wstring userAgent(agent.begin(), agent.end());
    response->session = WinHttpOpen(userAgent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    if (response->session == nullptr) return nullptr;
    WinHttpSetTimeouts(response->session, 5000, 5000, 10000, 10000);
    response->connection = WinHttpConnect(response->session, host, parts.nPort, 0);
    if (response->connection == nullptr) return nullptr;
    const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    response->request = WinHttpOpenRequest(response->connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (response->request == nullptr) return nullptr;
    if (!WinHttpSendRequest(response->request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
      return nullptr;
    }
    if (!WinHttpReceiveResponse(response->request, nullptr)) return nullptr;
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(response->request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) ||
        status == 0) {
      return nullptr;
    }
    response->status = status;
    return response;
  }
};

}  // namespace

std::unique_ptr<HttpClient> CreateHttpClient() { return std::make_unique<WinHttpClient>(); }

}  // namespace kp
