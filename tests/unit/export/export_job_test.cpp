// The job file reader: paths, crop, keep ranges and overlays, its leniency
// per field and its three error texts.
#include <gtest/gtest.h>

#include "export/export_job.h"
#include "support/temp_folder.h"

namespace kp {
namespace {

std::string Job(const std::string& members) {
  return R"({"input": "in.mp4", "output": "out.mp4")" + (members.empty() ? "" : ", " + members) + "}";
}

TEST(ExportJobTest, KeepRangesConvertSecondsAndSkipUnusableElements) {
  struct Case {
    const char* keep;
    std::vector<std::pair<int64_t, int64_t>> expected;
  };
  const Case cases[] = {
      {R"([{"start": 1.5, "end": 4}])", {{15'000'000, 40'000'000}}},
      {R"([{"start": 2, "end": 2}, {"start": -1, "end": 3}, {"start": "1", "end": 3}, {"end": 3}, 7, null])", {}},
      {R"([])", {}},
      {R"({"start": 1, "end": 2})", {}},  // not an array
      {R"([{"start": 0.00000025, "end": 1}, {"start": 0.00000004, "end": 1}])", {{3, 10'000'000}, {0, 10'000'000}}},
      {R"([{"start": 5, "end": 8}, {"start": 0, "end": 2}])", {{50'000'000, 80'000'000}, {0, 20'000'000}}},
      {R"([{"start": 0, "end": 1e300}])", {}},  // beyond the tick range
  };
  for (const Case& c : cases) {
    ExportJob job;
    std::string error;
    ASSERT_TRUE(ParseExportJobText(Job(std::string("\"keep\": ") + c.keep), job, &error)) << c.keep << error;
    std::vector<std::pair<int64_t, int64_t>> got;
    for (const KeepRange& r : job.keep) got.emplace_back(r.start, r.end);
    EXPECT_EQ(got, c.expected) << c.keep;
  }
}

TEST(ExportJobTest, CropIsEnabledOnlyByAnObjectAndTruncatesTowardZero) {
  struct Case {
    const char* crop;
    CropRect expected;
  };
  const Case cases[] = {
      {R"({"width": 1280.9, "height": 720})", {true, 0, 0, 1280, 720}},
      {R"({"x": -3.7, "y": "5", "width": 100, "height": 50})", {true, -3, 0, 100, 50}},
      {R"([1, 2, 3, 4])", {false, 0, 0, 0, 0}},
      {R"(null)", {false, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    ExportJob job;
    ASSERT_TRUE(ParseExportJobText(Job(std::string("\"crop\": ") + c.crop), job));
    EXPECT_EQ(job.crop.enabled, c.expected.enabled) << c.crop;
    EXPECT_EQ(job.crop.x, c.expected.x) << c.crop;
    EXPECT_EQ(job.crop.y, c.expected.y) << c.crop;
    EXPECT_EQ(job.crop.width, c.expected.width) << c.crop;
    EXPECT_EQ(job.crop.height, c.expected.height) << c.crop;
  }
}

TEST(ExportJobTest, OverlaysNeedAnImageAndValidTimes) {
  ExportJob job;
  ASSERT_TRUE(ParseExportJobText(Job(R"("overlays": [
      {"start": 1, "end": 2},
      {"image": "", "start": 1, "end": 2},
      {"image": "a.png", "start": 3, "end": 1},
      {"image": "b.png", "start": 2, "end": 5},
      {"image": "c.png", "x": 10.9, "y": -4, "start": 0, "end": 0.5}])"),
                                 job));
  ASSERT_EQ(job.overlays.size(), 2u);
  EXPECT_EQ(job.overlays[0].image, L"b.png");
  EXPECT_EQ(job.overlays[0].x, 0);
  EXPECT_EQ(job.overlays[0].y, 0);
  EXPECT_EQ(job.overlays[0].start, 20'000'000);
  EXPECT_EQ(job.overlays[0].end, 50'000'000);
  EXPECT_EQ(job.overlays[1].x, 10);
  EXPECT_EQ(job.overlays[1].y, -4);
}

TEST(ExportJobTest, FailuresCarryTheirTexts) {
  struct Case {
    std::string text;
    std::string error;  // prefix
  };
  const Case cases[] = {
      {R"({"input": "", "output": "o.mp4"})", "input and output are required"},
      {R"({"input": "i.mp4", "output": 5})", "input and output are required"},
      {R"([1, 2])", "job root is not an object"},
      {R"({"input": "i.mp4",)", "Expected"},
  };
  for (const Case& c : cases) {
    ExportJob job;
    std::string error;
    EXPECT_FALSE(ParseExportJobText(c.text, job, &error)) << c.text;
    if (c.error == "Expected") {
      EXPECT_NE(error.find(" at offset "), std::string::npos) << error;
    } else {
      EXPECT_EQ(error, c.error);
    }
  }
}

TEST(ExportJobTest, ReadsAFileWithByteOrderMarkAndReportsAMissingOne) {
  test::TempFolder folder;
  const std::wstring path = folder.File(L"job.json");
  test::WriteFileBytes(path, "\xEF\xBB\xBF" R"({"input": "\u00e9.mp4", "output": "o.mp4"})");
  ExportJob job;
  std::string error;
  ASSERT_TRUE(ParseExportJob(path, job, &error)) << error;
  EXPECT_EQ(job.input, L"\u00e9.mp4");
  EXPECT_FALSE(ParseExportJob(folder.File(L"missing.json"), job, &error));
  EXPECT_EQ(error, "cannot open job file");
}

}  // namespace
}  // namespace kp
