// The portable rules of the platform media edges: the upload copy of a
// system-memory NV12 picture, how far stream discovery goes and what a reader
// pass means.
#include <gtest/gtest.h>

#include <vector>

#include "export/nv12_upload.h"
#include "export/source_reader_rules.h"

namespace kp {
namespace {

TEST(CopyNv12PlanesTest, CopiesOnlyPictureBytesOrNothingAtAll) {
  // An 8x4 picture at pitch 12 needs 5 full rows and 8 bytes of the last.
  const struct {
    const char* name;
    uint32_t width, height;
    size_t sourcePitch, targetPitch, length;
    bool copies;
  } cases[] = {
      {"equal pitches", 8, 4, 8, 8, 48, true},          {"wider source pitch", 6, 4, 16, 6, 96, true},
      {"wider mapped pitch", 6, 6, 6, 64, 54, true},    {"both padded", 10, 2, 12, 32, 36, true},
      {"source just long enough", 8, 4, 12, 8, 68, true}, {"source one byte short", 8, 4, 12, 8, 67, false},
      {"odd width", 7, 4, 8, 8, 1'000, false},          {"zero height", 8, 0, 8, 8, 1'000, false},
      {"source pitch below width", 8, 4, 6, 8, 1'000, false}, {"mapped pitch below width", 8, 4, 8, 6, 1'000, false},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> source(1'000);
    for (size_t i = 0; i < source.size(); ++i) source[i] = i % c.sourcePitch < c.width ? uint8_t(i * 7 + 1) : 0xEE;
    std::vector<uint8_t> target(1'000, 0x55);
    EXPECT_EQ(CopyNv12Planes({source.data(), c.sourcePitch, c.length}, {target.data(), c.targetPitch}, c.width,
                             c.height), c.copies) << c.name;
    for (size_t i = 0; i < target.size(); ++i) {
      const size_t row = i / c.targetPitch, col = i % c.targetPitch;
      const bool copied = c.copies && row < c.height * 3 / 2 && col < c.width;
      ASSERT_EQ(target[i], copied ? source[row * c.sourcePitch + col] : 0x55)
          << c.name << ": row " << row << " column " << col;
    }
  }
  EXPECT_EQ(Nv12SourceBytes(1920, 1080, 1920), 3'110'400u);
}

TEST(SourceReaderRulesTest, DiscoveryAndReaderPassOutcome) {
  // Discovery stops after the first missing stream (an unreadable one goes
  // on), or after 64 indexes: missing from, unreadable, indexes asked.
  const std::tuple<uint32_t, uint32_t, uint32_t> streams[] = {{0, 99, 1}, {3, 1, 4}, {1000, 99, 64}};
  for (const auto& [missingFrom, unreadable, asked] : streams) {
    EXPECT_EQ(DiscoverStreams([&](uint32_t index) {
                return index >= missingFrom ? StreamAnswer::NoStream
                       : index == unreadable ? StreamAnswer::Unreadable : StreamAnswer::Found;
              }), asked) << missingFrom;
  }
  const std::pair<ReaderPass, ReadStatus> passes[] = {  // call failed, error flag, end of stream, sample
      {{false, false, false, true}, ReadStatus::Sample},     {{false, false, false, false}, ReadStatus::NoSample},
      {{false, false, true, true}, ReadStatus::EndOfStream}, {{true, false, false, true}, ReadStatus::Failed},
      {{false, true, true, true}, ReadStatus::Failed},
  };
  for (size_t i = 0; i < std::size(passes); ++i) EXPECT_EQ(ClassifyReaderPass(passes[i].first), passes[i].second) << i;
}

}  // namespace
}  // namespace kp
