// The HTTP seam of the update check. The platform client (WinHTTP on Windows,
// libcurl on Linux) only sends a GET and hands out the response as "bytes
// available" and "read n bytes"; how much of a body to take is decided by
// HttpGet, above the seam.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kp {

// A response whose status line has been received. Destroying it ends the
// transfer and releases every handle.
class HttpResponse {
 public:
  virtual ~HttpResponse() = default;
  // The numeric HTTP status (never 0).
  virtual uint32_t Status() = 0;
  // How many body bytes can be read now, waiting for more when none are
  // buffered; 0 at the end of the body. False when the transfer failed.
  virtual bool QueryDataAvailable(size_t* bytes) = 0;
  // Reads up to `size` bytes; `*bytesRead` is 0 at the end. False on failure.
  virtual bool Read(char* data, size_t size, size_t* bytesRead) = 0;
};

class HttpClient {
 public:
  virtual ~HttpClient() = default;
  // Sends a GET for `url` (absolute http or https) with the user agent
  // "Kaptora/<version>", the system's proxy and the timeouts 5 s to resolve,
  // 5 s to connect, 10 s to send and 10 s to receive. Null when the URL
  // cannot be split, the connection fails or no response arrived.
  virtual std::unique_ptr<HttpResponse> Get(const std::wstring& url) = 0;
};

// The platform's client. Safe to use from any one thread at a time.
std::unique_ptr<HttpClient> CreateHttpClient();

}  // namespace kp
