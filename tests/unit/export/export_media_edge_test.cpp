// The decisions the platform media edges delegate to the core: the upload
// copy of a system-memory NV12 picture, the processor's input-view cache,
// how far stream discovery goes and what a reader pass means.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "export/input_view_cache.h"
#include "export/nv12_upload.h"
#include "export/source_reader_rules.h"

namespace kp {
namespace {

// Picture bytes name their plane, row and column; padding is 0xEE.
uint8_t PixelByte(int plane, uint32_t row, uint32_t column) {
  return static_cast<uint8_t>(plane * 100 + row * 7 + column * 3 + 1);
}

std::vector<uint8_t> MakeSource(uint32_t width, uint32_t height, size_t pitch) {
  std::vector<uint8_t> bytes(pitch * (height + height / 2), 0xEE);
  for (uint32_t r = 0; r < height; ++r)
    for (uint32_t c = 0; c < width; ++c) bytes[r * pitch + c] = PixelByte(0, r, c);
  for (uint32_t r = 0; r < height / 2; ++r)
    for (uint32_t c = 0; c < width; ++c) bytes[(height + r) * pitch + c] = PixelByte(1, r, c);
  return bytes;
}

TEST(CopyNv12PlanesTest, CopiesOnlyPictureBytesBetweenPitches) {
  struct Case {
    const char* name;
    uint32_t width, height;
    size_t sourcePitch, targetPitch;
  };
  const Case cases[] = {
      {"tight both sides", 8, 4, 8, 8},
      {"padded source rows", 6, 4, 16, 6},
      {"padded mapped rows", 6, 6, 6, 64},
      {"both padded, different", 10, 2, 12, 32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> source = MakeSource(c.width, c.height, c.sourcePitch);
    std::vector<uint8_t> target(c.targetPitch * (c.height + c.height / 2), 0x55);
    ASSERT_TRUE(CopyNv12Planes(Nv12Source{source.data(), c.sourcePitch, source.size()},
                               Nv12Target{target.data(), c.targetPitch}, c.width, c.height));
    for (uint32_t r = 0; r < c.height + c.height / 2; ++r) {
      const int plane = r < c.height ? 0 : 1;
      const uint32_t planeRow = plane == 0 ? r : r - c.height;
      for (size_t col = 0; col < c.targetPitch; ++col) {
        const uint8_t expected = col < c.width ? PixelByte(plane, planeRow, static_cast<uint32_t>(col)) : 0x55;
        ASSERT_EQ(target[r * c.targetPitch + col], expected) << "row " << r << " column " << col;
      }
    }
  }
}

TEST(CopyNv12PlanesTest, RefusesWhatCannotHoldAPicture) {
  struct Case {
    const char* name;
    uint32_t width, height;
    size_t sourcePitch, targetPitch;
    size_t sourceLengthCut;  // bytes taken off a just-long-enough source
  };
  const Case cases[] = {
      {"odd width", 7, 4, 8, 8, 0},
      {"zero height", 8, 0, 8, 8, 0},
      {"source pitch below width", 8, 4, 6, 8, 0},
      {"mapped pitch below width", 8, 4, 8, 6, 0},
      {"source one byte short", 8, 4, 12, 8, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Just long enough: the last chroma row needs only the picture's width.
    const size_t exact = c.height == 0 ? 0 : (c.height + c.height / 2 - 1) * c.sourcePitch + c.width;
    std::vector<uint8_t> source(exact + 64, 1);
    std::vector<uint8_t> target(c.targetPitch * 8 + 64, 0x55);
    EXPECT_FALSE(CopyNv12Planes(Nv12Source{source.data(), c.sourcePitch, exact - c.sourceLengthCut},
                                Nv12Target{target.data(), c.targetPitch}, c.width, c.height));
    EXPECT_EQ(target, std::vector<uint8_t>(target.size(), 0x55)) << "nothing may be written";
  }
  // A contiguous buffer whose pitch is the width holds exactly 1.5 bytes a pixel.
  EXPECT_EQ(Nv12SourceBytes(1920, 1080, 1920), 1920u * 1080u * 3u / 2u);
}

TEST(InputViewCacheTest, MakesOneViewPerTextureAndSliceUntilCleared) {
  int made = 0;
  bool fail = false;
  const auto make = [&](const void*, uint32_t slice, int* view) {
    if (fail) return false;
    *view = ++made * 10 + static_cast<int>(slice);
    return true;
  };
  InputViewCache<int> cache;
  const int a = 0, b = 0;
  ASSERT_NE(cache.Get(&a, 0, make), nullptr);
  EXPECT_EQ(*cache.Get(&a, 0, make), 10);  // reused, not made again
  EXPECT_EQ(*cache.Get(&a, 3, make), 23);  // same texture, other slice
  EXPECT_EQ(*cache.Get(&b, 0, make), 30);  // other texture, same slice
  EXPECT_EQ(made, 3);

  fail = true;
  EXPECT_EQ(cache.Get(&b, 1, make), nullptr);
  EXPECT_EQ(cache.Size(), 3u);  // a failed view is not kept...
  fail = false;
  EXPECT_EQ(*cache.Get(&b, 1, make), 41);  // ...so the next picture tries again

  cache.Clear();  // a rebuilt stage needs fresh views
  EXPECT_EQ(*cache.Get(&a, 0, make), 50);
}

TEST(SourceReaderRulesTest, DiscoveryStopsAtTheFirstMissingStreamOrTheLimit) {
  struct Case {
    const char* name;
    uint32_t missingFrom;  // first index with no stream
    uint32_t unreadable;   // an index whose type cannot be read
    uint32_t asked;
  };
  const Case cases[] = {
      {"no streams", 0, 99, 1},
      {"three streams", 3, 99, 4},
      {"an unreadable stream does not end discovery", 3, 1, 4},
      {"never missing: 64 indexes at most", 1000, 99, 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> found;
    const uint32_t asked = DiscoverStreams([&](uint32_t index) {
      if (index >= c.missingFrom) return StreamAnswer::NoStream;
      if (index == c.unreadable) return StreamAnswer::Unreadable;
      found.push_back(index);
      return StreamAnswer::Found;
    });
    EXPECT_EQ(asked, c.asked);
    const uint32_t streams = c.missingFrom < 64 ? c.missingFrom : 64;
    EXPECT_EQ(found.size(), streams - (c.unreadable < streams ? 1u : 0u));
  }
}

TEST(SourceReaderRulesTest, ReaderPassOutcome) {
  struct Case {
    ReaderPass pass;
    ReadStatus expected;
  };
  const Case cases[] = {
      {{false, false, false, true}, ReadStatus::Sample},
      {{false, false, false, false}, ReadStatus::NoSample},
      {{false, false, true, false}, ReadStatus::EndOfStream},
      {{false, false, true, true}, ReadStatus::EndOfStream},
      {{true, false, false, true}, ReadStatus::Failed},
      {{false, true, true, true}, ReadStatus::Failed},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(ClassifyReaderPass(cases[i].pass), cases[i].expected) << "case " << i;
  }
}

}  // namespace
}  // namespace kp
