// The job file reader: its leniency per field and its error texts.
#include <gtest/gtest.h>

#include <tuple>

#include "export/export_job.h"

namespace kp {
namespace {

// Every job here starts with a byte order mark, as some editors write.
ExportJob Parse(const std::string& members) {
  ExportJob job;
  std::string error;
  EXPECT_TRUE(ParseExportJobText("\xEF\xBB\xBF" R"({"input": "\u00e9.mp4", "output": "out.mp4", )" + members + "}",
                                 job, &error)) << members << ": " << error;
  EXPECT_EQ(job.input, L"\u00e9.mp4");
  return job;
}

TEST(ExportJobTest, KeepRangesRoundSecondsToTicksAndSkipUnusableElements) {
  const std::pair<const char*, std::vector<std::pair<int64_t, int64_t>>> cases[] = {
      {R"([{"start": 1.5, "end": 4}])", {{15'000'000, 40'000'000}}},
      {R"([{"start": 2, "end": 2}, {"start": -1, "end": 3}, {"start": "1", "end": 3}, {"end": 3}, 7])", {}},
      {R"([{"start": 0.00000025, "end": 1}, {"start": 0.00000004, "end": 1}])", {{3, 10'000'000}, {0, 10'000'000}}},
      {R"([{"start": 5, "end": 8}, {"start": 0, "end": 2}])", {{50'000'000, 80'000'000}, {0, 20'000'000}}},
      {R"([{"start": 0, "end": 1e300}])", {}},  // beyond the tick range
  };
  for (const auto& [keep, expected] : cases) {
    std::vector<std::pair<int64_t, int64_t>> got;
    for (const KeepRange& r : Parse(std::string("\"keep\": ") + keep).keep) got.emplace_back(r.start, r.end);
    EXPECT_EQ(got, expected) << keep;
  }
}

TEST(ExportJobTest, CropNeedsAnObjectAndTruncatesTowardZero) {
  const std::pair<const char*, std::tuple<bool, int, int, int, int>> cases[] = {
      {R"({"width": 1280.9, "height": 720})", {true, 0, 0, 1280, 720}},
      {R"({"x": -3.7, "y": "5", "width": 100, "height": 50})", {true, -3, 0, 100, 50}},
      {R"([1, 2, 3, 4])", {false, 0, 0, 0, 0}},
  };
  for (const auto& [crop, expected] : cases) {
    const CropRect c = Parse(std::string("\"crop\": ") + crop).crop;
    EXPECT_EQ(std::tuple(c.enabled, c.x, c.y, c.width, c.height), expected) << crop;
  }
}

TEST(ExportJobTest, OverlaysNeedAnImageAndValidTimes) {
  const ExportJob job = Parse(R"("overlays": [{"start": 1, "end": 2}, {"image": "", "start": 1, "end": 2},
      {"image": "a.png", "start": 3, "end": 1}, {"image": "b.png", "start": 2, "end": 5},
      {"image": "c.png", "x": 10.9, "y": -4, "start": 0, "end": 0.5}])");
  ASSERT_EQ(job.overlays.size(), 2u);
  const OverlaySpec& b = job.overlays[0];
  const OverlaySpec& c = job.overlays[1];
  EXPECT_EQ(std::tuple(b.image, b.x, b.y, b.start, b.end), std::tuple(L"b.png", 0, 0, 20'000'000, 50'000'000));
  EXPECT_EQ(std::tuple(c.image, c.x, c.y, c.start, c.end), std::tuple(L"c.png", 10, -4, 0, 5'000'000));
}

TEST(ExportJobTest, FailuresCarryTheirTexts) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"input": "", "output": "o.mp4"})", "input and output are required"},
      {R"({"input": "i.mp4", "output": 5})", "input and output are required"},
      {R"([1, 2])", "job root is not an object"},
  };
  ExportJob job;
  for (const auto& [text, reason] : cases) {
    std::string error;
    EXPECT_FALSE(ParseExportJobText(text, job, &error)) << text;
    EXPECT_EQ(error, reason) << text;
  }
  std::string error;
  EXPECT_FALSE(ParseExportJobText(R"({"input": "i.mp4",)", job, &error));
  EXPECT_NE(error.find(" at offset "), std::string::npos) << error;  // the JSON reader's own message
  EXPECT_FALSE(ParseExportJob(L"/nonexistent/job.json", job, &error));
  EXPECT_EQ(error, "cannot open job file");
}

}  // namespace
}  // namespace kp
