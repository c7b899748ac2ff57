// The update check's HTTP client on Linux: libcurl, driven step by step
// through a multi handle so that the body is handed out in pieces on demand,
// as WinHTTP does. The limits mirror the Windows client: 10 s for name
// resolution and connection together (WinHTTP allows 5 s for each), a
// transfer that moves nothing for 10 s fails (the send and receive
// timeouts), only http and https, redirects followed except from https to
// http, and the proxy settings of the environment.
#include <curl/curl.h>

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/text.h"
#include "update/http_client.h"
#include "update/version.h"

namespace kp {

namespace {

constexpr long kConnectTimeoutMs = 10'000;
constexpr long kStallSeconds = 10;
constexpr int kPollMs = 1'000;

class CurlResponse final : public HttpResponse {
 public:
  CurlResponse() : multi_(curl_multi_init()), easy_(curl_easy_init()) {}

  ~CurlResponse() override {
    if (added_) curl_multi_remove_handle(multi_, easy_);
    if (easy_ != nullptr) curl_easy_cleanup(easy_);
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
  }

  // Starts the GET and waits for the first body bytes or the end of the
  // transfer; false when no status line was received.
  bool Start(const std::string& url) {
    if (multi_ == nullptr || easy_ == nullptr) return false;
    const bool secure = url.size() >= 8 && strncasecmp(url.c_str(), "https://", 8) == 0;
    const std::string userAgent = std::string("Kaptora/") + kProgramVersion;
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(easy_, CURLOPT_USERAGENT, userAgent.c_str());
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlResponse::OnBody);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) return false;
    added_ = true;
    while (!done_ && pending_.empty()) Step();
    long code = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
    status_ = code > 0 ? static_cast<uint32_t>(code) : 0;
    return status_ != 0;
  }

  uint32_t Status() override { return status_; }

  bool QueryDataAvailable(size_t* bytes) override {
    *bytes = 0;
    if (!Fill()) return false;
    *bytes = pending_.size() - consumed_;
    return true;
  }

  bool Read(char* data, size_t size, size_t* bytesRead) override {
    *bytesRead = 0;
    if (!Fill()) return false;
    const size_t n = std::min(size, pending_.size() - consumed_);
    std::memcpy(data, pending_.data() + consumed_, n);
    consumed_ += n;
    *bytesRead = n;
    return true;
  }

 private:
  // Makes sure unread bytes are buffered unless the body has ended. False when
  // the transfer failed and nothing is left to hand out.
  bool Fill() {
    if (consumed_ < pending_.size()) return true;
    pending_.clear();
    consumed_ = 0;
    if (paused_) {
      // Delivers the piece that was held back, through OnBody.
      paused_ = false;
      curl_easy_pause(easy_, CURLPAUSE_CONT);
    }
    while (!done_ && pending_.empty()) Step();
    return !pending_.empty() || result_ == CURLE_OK;
  }

  void Step() {
    int running = 0;
    if (curl_multi_perform(multi_, &running) != CURLM_OK) {
      done_ = true;
      result_ = CURLE_FAILED_INIT;
      return;
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg == CURLMSG_DONE) {
        done_ = true;
        result_ = message->data.result;
      }
    }
    if (!done_ && pending_.empty() && !paused_) curl_multi_poll(multi_, nullptr, 0, kPollMs, nullptr);
  }

  // Takes one piece while the previous one is unread; otherwise holds the
  // transfer until it is (libcurl delivers the same piece again on resume).
  static size_t OnBody(char* data, size_t size, size_t count, void* context) {
    auto* self = static_cast<CurlResponse*>(context);
    if (self->consumed_ < self->pending_.size()) {
      self->paused_ = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    self->pending_.assign(data, size * count);
    self->consumed_ = 0;
    return size * count;
  }

  CURLM* multi_;
  CURL* easy_;
  bool added_ = false;
  bool done_ = false;
  bool paused_ = false;
  CURLcode result_ = CURLE_OK;
  uint32_t status_ = 0;
  std::string pending_;
  size_t consumed_ = 0;
};

class CurlClient final : public HttpClient {
 public:
  CurlClient() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  }

  std::unique_ptr<HttpResponse> Get(const std::wstring& url) override {
    auto response = std::make_unique<CurlResponse>();
    if (!response->Start(WideToUtf8(url))) return nullptr;
    return response;
  }
};

}  // namespace

std::unique_ptr<HttpClient> CreateHttpClient() { return std::make_unique<CurlClient>(); }

}  // namespace kp
