// The decisions the platform media edges delegate to the core: the upload
// copy of a system-memory NV12 picture, the processor's input-view cache,
// how far stream discovery goes and what a reader pass means.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "export/input_view_cache.h"
#include "export/nv12_upload.h"
#include "export/source_reader_rules.h"

namespace kp {
namespace {

TEST(CopyNv12PlanesTest, CopiesOnlyPictureBytesBetweenPitches) {
  const std::tuple<uint32_t, uint32_t, size_t, size_t> cases[] = {  // width, height, source and mapped pitch
      {8, 4, 8, 8}, {6, 4, 16, 6}, {6, 6, 6, 64}, {10, 2, 12, 32}};
  for (const auto& [width, height, sourcePitch, targetPitch] : cases) {
    const size_t rows = height + height / 2;
    std::vector<uint8_t> source(sourcePitch * rows);
    for (size_t i = 0; i < source.size(); ++i) source[i] = i % sourcePitch < width ? uint8_t(i * 7 + 1) : 0xEE;
    std::vector<uint8_t> target(targetPitch * rows, 0x55);
    ASSERT_TRUE(CopyNv12Planes({source.data(), sourcePitch, source.size()}, {target.data(), targetPitch}, width,
                               height));
    for (size_t i = 0; i < target.size(); ++i) {
      const size_t row = i / targetPitch, col = i % targetPitch;
      ASSERT_EQ(target[i], col < width ? source[row * sourcePitch + col] : 0x55)
          << width << "x" << height << ", pitches " << sourcePitch << "/" << targetPitch << ": row " << row
          << " column " << col;
    }
  }
}

TEST(CopyNv12PlanesTest, RefusesWhatCannotHoldAPicture) {
  // An 8x4 picture at pitch 12 needs 5 full rows and 8 bytes of the last.
  const std::tuple<const char*, uint32_t, uint32_t, size_t, size_t, size_t, bool> cases[] = {
      {"odd width", 7, 4, 8, 8, 1'000, false},
      {"zero height", 8, 0, 8, 8, 1'000, false},
      {"source pitch below width", 8, 4, 6, 8, 1'000, false},
      {"mapped pitch below width", 8, 4, 8, 6, 1'000, false},
      {"source one byte short", 8, 4, 12, 8, 67, false},
      {"source just long enough", 8, 4, 12, 8, 68, true},
  };
  for (const auto& [name, width, height, sourcePitch, targetPitch, length, copies] : cases) {
    const std::vector<uint8_t> source(1'000, 1);
    std::vector<uint8_t> target(1'000, 0x55);
    EXPECT_EQ(CopyNv12Planes({source.data(), sourcePitch, length}, {target.data(), targetPitch}, width, height),
              copies) << name;
    if (!copies) {
      EXPECT_EQ(target, std::vector<uint8_t>(1'000, 0x55)) << name << ": nothing may be written";
    }
  }
  EXPECT_EQ(Nv12SourceBytes(1920, 1080, 1920), 3'110'400u);
}

TEST(InputViewCacheTest, MakesOneViewPerTextureAndSliceUntilCleared) {
  int made = 0;
  bool fail = false;
  const auto make = [&](const void*, uint32_t slice, int* view) {
    *view = ++made * 10 + static_cast<int>(slice);
    return !fail;
  };
  InputViewCache<int> cache;
  const int a = 0, b = 0;
  EXPECT_EQ(*cache.Get(&a, 0, make), 10);
  EXPECT_EQ(*cache.Get(&a, 0, make), 10);  // reused, not made again
  EXPECT_EQ(*cache.Get(&a, 3, make), 23);  // same texture, other slice
  EXPECT_EQ(*cache.Get(&b, 0, make), 30);  // other texture, same slice
  fail = true;
  EXPECT_EQ(cache.Get(&b, 1, make), nullptr);  // a failed view is not kept...
  fail = false;
  EXPECT_EQ(*cache.Get(&b, 1, make), 51);  // ...so the next picture tries again
  cache.Clear();                           // a rebuilt stage needs fresh views
  EXPECT_EQ(*cache.Get(&a, 0, make), 60);
}

TEST(SourceReaderRulesTest, DiscoveryStopsAtTheFirstMissingStreamOrTheLimit) {
  const std::tuple<const char*, uint32_t, uint32_t, uint32_t> cases[] = {  // missing from, unreadable, asked
      {"no streams", 0, 99, 1},
      {"three streams", 3, 99, 4},
      {"an unreadable stream does not end discovery", 3, 1, 4},
      {"never missing: 64 indexes at most", 1000, 99, 64},
  };
  for (const auto& [name, missingFrom, unreadable, asked] : cases) {
    const uint32_t got = DiscoverStreams([&](uint32_t index) {
      return index >= missingFrom ? StreamAnswer::NoStream
             : index == unreadable ? StreamAnswer::Unreadable : StreamAnswer::Found;
    });
    EXPECT_EQ(got, asked) << name;
  }
}

TEST(SourceReaderRulesTest, ReaderPassOutcome) {
  const std::pair<ReaderPass, ReadStatus> cases[] = {  // call failed, error flag, end of stream, sample
      {{false, false, false, true}, ReadStatus::Sample},     {{false, false, false, false}, ReadStatus::NoSample},
      {{false, false, true, false}, ReadStatus::EndOfStream}, {{false, false, true, true}, ReadStatus::EndOfStream},
      {{true, false, false, true}, ReadStatus::Failed},      {{false, true, true, true}, ReadStatus::Failed},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(ClassifyReaderPass(cases[i].first), cases[i].second) << i;
}

}  // namespace
}  // namespace kp
