#include "update/update_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "update/http_get.h"
#include "update/manifest.h"

namespace kp {
namespace {

// One scripted address: no response (status 0), or a status and a body handed
// out piece by piece, failing once the pieces run out when `failAtEnd`.
struct Script {
  uint32_t status = 200;
  std::vector<std::string> pieces;
  bool failAtEnd = false;
};

class ScriptedClient final : public HttpClient {
 public:
  struct Response final : HttpResponse {
    Script s;
    size_t next = 0;
    int* queries;
    uint32_t Status() override { return s.status; }
    bool QueryDataAvailable(size_t* bytes) override {
      ++*queries;
      *bytes = next < s.pieces.size() ? s.pieces[next].size() : 0;
      return next < s.pieces.size() || !s.failAtEnd;
    }
    bool Read(char* data, size_t size, size_t* bytesRead) override {  // whole pieces are asked for
      *bytesRead = next < s.pieces.size() ? std::min(size, s.pieces[next].size()) : 0;
      if (*bytesRead != 0) std::memcpy(data, s.pieces[next++].data(), *bytesRead);
      return *bytesRead != 0 || !s.failAtEnd;
    }
  };
  std::unique_ptr<HttpResponse> Get(const std::wstring& url) override {
    asked.push_back(url);
    if (scripts.at(url).status == 0) return nullptr;
    auto response = std::make_unique<Response>();
    response->s = scripts.at(url);
    response->queries = &queries;
    return response;
  }
  std::map<std::wstring, Script> scripts;
  std::vector<std::wstring> asked;
  int queries = 0;
};

std::vector<std::string> Pieces(const std::string& text, size_t size) {
  std::vector<std::string> pieces;
  for (size_t i = 0; i < text.size(); i += size) pieces.push_back(text.substr(i, size));
  return pieces;
}

TEST(UpdateCheck, SearchLogsEachBadAnswerAndStopsAtTheFirstVersion) {
  // 2 MiB that would announce 9.0.0 if read whole.
  const std::string large = "{\"version\":\"9.0.0\",\"pad\":\"" + std::string(2 << 20, 'x') + "\"}";
  const struct {
    std::vector<std::pair<std::wstring, Script>> urls;
    std::vector<std::string> lines;
    size_t asked;
    std::string found;  // empty: no update
  } rows[] = {
      {{{L"http://a/", {200, {R"({"version":0.3})"}}}, {L"http://b/", {200, {R"({"version":"0.3.0","notes":"N"})"}}}},
       {"update: latest is 0.3.0 (this is 0.2.0)"}, 2, "0.3.0|N"},
      {{{L"http://a/", {200, {R"({"version":"0.1.0"})"}}}, {L"http://b/", {200, {R"({"version":"0.3.0"})"}}}},
       {"update: latest is 0.1.0 (this is 0.2.0)"}, 1, ""},
      {{{L"http://down/", {0, {}}}, {L"https://x/m", {404, {"<html>"}}}, {L"http://big/", {200, Pieces(large, 300'000)}},
        {L"http://v/", {200, {R"({"version":"0.2.0"})"}}}},
       {"update: http://down/ unreachable", "update: https://x/m answered 404",
        "update: http://big/ is not a valid manifest", "update: latest is 0.2.0 (this is 0.2.0)"},
       4, ""},
      // A failed read ends the body with what was gathered.
      {{{L"http://a/", {200, {R"({"version":)", R"("1.0"})"}, true}}}, {"update: latest is 1.0 (this is 0.2.0)"}, 1, "1.0|"},
  };
  for (const auto& row : rows) {
    ScriptedClient client;
    std::vector<std::wstring> urls;
    for (const auto& [url, script] : row.urls) urls.push_back(url), client.scripts[url] = script;
    PlainHttpNotices noticed{L"http://a/", L"http://b/", L"http://down/", L"http://big/", L"http://v/"};
    test::LogCapture log;
    const std::optional<UpdateInfo> result = CheckForUpdates(urls, client, noticed);
    EXPECT_EQ(log.Lines(), row.lines);
    EXPECT_EQ(client.asked.size(), row.asked);
    EXPECT_EQ(result ? result->version + "|" + result->notes : "", row.found);
  }
}

// Plain http keeps working; each such address is called out once.
TEST(UpdateCheck, PlainHttpAddressIsLoggedOnceAndStillAsked) {
  ScriptedClient client;
  client.scripts[L"HTTP://a/"] = {404, {}};
  client.scripts[L"https://b/"] = {200, {R"({"version":"0.3.0"})"}};
  const std::vector<std::wstring> urls{L"HTTP://a/", L"https://b/"};
  PlainHttpNotices noticed;
  test::LogCapture log;
  EXPECT_TRUE(CheckForUpdates(urls, client, noticed));
  EXPECT_TRUE(CheckForUpdates(urls, client, noticed));
  const std::vector<std::string> once{"update: HTTP://a/ is not protected by TLS", "update: HTTP://a/ answered 404",
                                      "update: latest is 0.3.0 (this is 0.2.0)"};
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{once[0], once[1], once[2], once[1], once[2]}));
}

TEST(UpdateCheck, BodyEndsAtTheReadThatReachesOneMebibyte) {
  const struct {
    size_t piece, body;
    int queries;  // a body at the limit is not asked for more
  } rows[] = {{300'000, 1'200'000, 4}, {262'144, 1'048'576, 4}};
  for (const auto& row : rows) {
    ScriptedClient client;
    client.scripts[L"http://a/"] = {200, Pieces(std::string(2 << 20, 'x'), row.piece)};
    uint32_t status = 0;
    EXPECT_EQ(HttpGet(client, L"http://a/", &status).value_or("").size(), row.body);
    EXPECT_EQ(client.queries, row.queries);
  }
}

TEST(UpdateCheck, ManifestListKeepsNonEmptyStringsInFileOrder) {
  using Urls = std::vector<std::wstring>;
  EXPECT_EQ(ParseManifestUrls("{\"manifestUrls\":[\"\", 5, \"https://a/m\", null, \"http://h/\xC3\xA9\"]}"),
            (Urls{L"https://a/m", L"http://h/\u00E9"}));
  for (const char* none : {R"({"manifestUrls":"https://a/"})", R"({"urls":["https://a/"]})", ""}) {
    EXPECT_EQ(ParseManifestUrls(none), Urls{}) << none;
  }
}

}  // namespace
}  // namespace kp
