#include "update/update_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "update/http_get.h"
#include "update/manifest.h"

namespace kp {
namespace {

// What one scripted address does: no response at all, or a status and a body
// handed out piece by piece, optionally failing once the pieces run out.
struct Script {
  bool reachable = true;
  uint32_t status = 200;
  std::vector<std::string> pieces;
  bool failAtEnd = false;
};

Script Body(std::string text) { return Script{true, 200, {std::move(text)}, false}; }
Script Status(uint32_t status) { return Script{true, status, {"<html>error page</html>"}, false}; }
Script Unreachable() { return Script{false, 0, {}, false}; }

class ScriptedResponse final : public HttpResponse {
 public:
  ScriptedResponse(const Script& script, int* queries) : script_(script), pieces_(script.pieces.begin(), script.pieces.end()), queries_(queries) {}
  uint32_t Status() override { return script_.status; }
  bool QueryDataAvailable(size_t* bytes) override {
    ++*queries_;
    *bytes = pieces_.empty() ? 0 : pieces_.front().size();
    return !(pieces_.empty() && script_.failAtEnd);
  }
  bool Read(char* data, size_t size, size_t* bytesRead) override {
    *bytesRead = 0;
    if (pieces_.empty()) return !script_.failAtEnd;
    std::string& piece = pieces_.front();
    *bytesRead = std::min(size, piece.size());
    std::memcpy(data, piece.data(), *bytesRead);
    piece.erase(0, *bytesRead);
    if (piece.empty()) pieces_.pop_front();
    return true;
  }

 private:
  Script script_;
  std::deque<std::string> pieces_;
  int* queries_;
};

class ScriptedClient final : public HttpClient {
 public:
  std::unique_ptr<HttpResponse> Get(const std::wstring& url) override {
    asked.push_back(url);
    const Script& script = scripts.at(url);
    if (!script.reachable) return nullptr;
    return std::make_unique<ScriptedResponse>(script, &queries);
  }
  std::map<std::wstring, Script> scripts;
  std::vector<std::wstring> asked;
  int queries = 0;
};

// A document that parses when whole: the cut at 1 MiB is what breaks it.
std::string LargeManifest(size_t size) {
  std::string text = "{\"version\":\"9.0.0\",\"pad\":\"";
  text.append(size - text.size() - 2, 'x');
  return text + "\"}";
}

std::vector<std::string> Split(const std::string& text, size_t pieceSize) {
  std::vector<std::string> pieces;
  for (size_t i = 0; i < text.size(); i += pieceSize) pieces.push_back(text.substr(i, pieceSize));
  return pieces;
}

TEST(UpdateCheck, SearchStopsAtFirstVersionAndLogsEachBadAnswer) {
  const struct {
    const char* name;
    std::vector<std::pair<std::wstring, Script>> urls;
    std::vector<std::string> lines;
    int asked;
    const char* found;  // null: no update
    const char* notes;
  } cases[] = {
      {"non-string version skipped silently",
       {{L"http://a/", Body(R"({"version":0.3,"notes":"x"})")},
        {L"http://b/", Body(R"({"version":"0.3.0","notes":"Faster saves"})")}},
       {"update: latest is 0.3.0 (this is 0.2.0)"}, 2, "0.3.0", "Faster saves"},
      {"an older first manifest ends the search",
       {{L"http://a/", Body(R"({"version":"0.1.0"})")}, {L"http://b/", Body(R"({"version":"0.3.0"})")}},
       {"update: latest is 0.1.0 (this is 0.2.0)"}, 1, nullptr, nullptr},
      {"every failure moves on",
       {{L"http://down/", Unreachable()},
        {L"https://x/m.json", Status(404)},
        {L"http://y/", Status(500)},
        {L"http://z/", Body("<html>not json</html>")},
        {L"http://empty/", Body("")},
        {L"http://w/", Body(R"({"version":"0.2.0"})")}},
       {"update: http://down/ unreachable", "update: https://x/m.json answered 404", "update: http://y/ answered 500",
        "update: http://z/ is not a valid manifest", "update: http://empty/ is not a valid manifest",
        "update: latest is 0.2.0 (this is 0.2.0)"},
       6, nullptr, nullptr},
      {"a 2 MiB manifest is cut and fails to parse",
       {{L"http://big/", Script{true, 200, Split(LargeManifest(2 << 20), 300'000), false}},
        {L"http://next/", Body(R"({"version":"0.2.1"})")}},
       {"update: http://big/ is not a valid manifest", "update: latest is 0.2.1 (this is 0.2.0)"}, 2, "0.2.1", ""},
      {"a failed read keeps what was gathered",
       {{L"http://a/", Script{true, 200, {R"({"version":)", R"("1.0"})"}, true}}},
       {"update: latest is 1.0 (this is 0.2.0)"}, 1, "1.0", ""},
      {"no version anywhere", {{L"http://a/", Body(R"({"notes":"x"})")}}, {}, 1, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedClient client;
    std::vector<std::wstring> urls;
    for (const auto& [url, script] : c.urls) {
      urls.push_back(url);
      client.scripts[url] = script;
    }
    test::LogCapture log;
    const std::optional<UpdateInfo> result = CheckForUpdates(urls, client);
    EXPECT_EQ(log.Lines(), c.lines);
    EXPECT_EQ(static_cast<int>(client.asked.size()), c.asked);
    ASSERT_EQ(result.has_value(), c.found != nullptr);
    if (result) {
      EXPECT_EQ(result->version, c.found);
      EXPECT_EQ(result->notes, c.notes);
    }
  }
}

TEST(UpdateCheck, BodyStopsAtTheReadThatReachesOneMebibyte) {
  const struct {
    size_t pieceSize;
    size_t bodySize;
    int queries;  // a body that reached the limit is not asked again
  } cases[] = {
      {300'000, 1'200'000, 4},
      {262'144, 1'048'576, 4},
      {1'000'000, 2'000'000, 2},
  };
  for (const auto& c : cases) {
    ScriptedClient client;
    client.scripts[L"http://a/"] = Script{true, 200, Split(std::string(2 << 20, 'x'), c.pieceSize), false};
    uint32_t status = 0;
    const std::optional<std::string> body = HttpGet(client, L"http://a/", &status);
    ASSERT_TRUE(body.has_value());
    EXPECT_EQ(status, 200u);
    EXPECT_EQ(body->size(), c.bodySize) << c.pieceSize;
    EXPECT_EQ(client.queries, c.queries) << c.pieceSize;
  }
}

TEST(UpdateCheck, ManifestListKeepsNonEmptyStringsInFileOrder) {
  const struct {
    const char* json;
    std::vector<std::wstring> urls;
  } cases[] = {
      {R"({"manifestUrls":["", 5, "https://a/m.json", null, "http://b/"], "other": 1})",
       {L"https://a/m.json", L"http://b/"}},
      {R"({"manifestUrls":"https://a/"})", {}},
      {R"({"manifestUrls":{"x":"https://a/"}})", {}},
      {R"({"urls":["https://a/"]})", {}},
      {R"({"manifestUrls":["https://a/"],})", {}},  // not JSON
      {"", {}},
      {"{\"manifestUrls\":[\"http://h/\xC3\xA9\"]}", {L"http://h/\u00E9"}},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseManifestUrls(c.json), c.urls) << c.json;
}

}  // namespace
}  // namespace kp
