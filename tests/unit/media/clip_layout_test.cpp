// The block-aligned clip layout, checked against its invariants for spans
// of every shape, including payloads at the 4-GiB switch of the mdat header.
#include "media/clip_layout.h"

#include <gtest/gtest.h>

#include <vector>

#include "media/mp4_boxes.h"

namespace kp {
namespace {

TEST(ClipLayoutTest, SpansAreCongruentToTheirSourceAndNeverOverlap) {
  constexpr uint64_t kGiB = 1ull << 30;
  struct Case {
    const char* name;
    uint64_t block, header;
    std::vector<SpanSource> spans;
  };
  const Case cases[] = {
      {"three spans", 4096, 1234, {{32, 9000, 9100}, {4100, 5000, 20000}, {77, 8193, 9000}}},
      {"span ending in the source's last block", 4096, 900, {{40, 4100, 4150}, {4096, 4097, 8192}}},
      {"whole blocks only", 512, 512 - 8, {{0, 1024, 1024}, {512, 2048, 2048}}},
      {"payload that crosses 4 GiB only with the small header", 65536, 100,
       {{32, 2 * kGiB, 2 * kGiB}, {65000, 2 * kGiB - 65436, 4 * kGiB}}},
      {"payload over 4 GiB", 4096, 100, {{32, 3 * kGiB, 3 * kGiB}, {5, 2 * kGiB, 2 * kGiB}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ClipLayout layout = PlanBlockAlignedLayout(c.spans, c.block, c.header);
    ASSERT_EQ(layout.spans.size(), c.spans.size());
    // The payload starts where the header its own size calls for ends.
    const uint64_t start = c.header + MdatHeaderSize(layout.payloadSize);
    uint64_t cursor = start;
    for (size_t i = 0; i < c.spans.size(); ++i) {
      const SpanSource& s = c.spans[i];
      const SpanPlacement& p = layout.spans[i];
      const uint64_t stretchAt = cursor + p.padding;
      EXPECT_EQ((start + p.base) % c.block, s.first % c.block) << i;
      EXPECT_EQ(stretchAt + (s.first - p.copyFrom), start + p.base) << i;
      EXPECT_EQ(std::vector<uint64_t>({stretchAt % c.block, p.copyFrom % c.block, p.cloneBytes % c.block}),
                std::vector<uint64_t>({0, 0, 0})) << i;
      EXPECT_LT(p.padding, c.block) << i;
      EXPECT_LE(p.copyFrom, s.first);
      EXPECT_LE(s.end, p.copyEnd);
      EXPECT_LE(p.copyFrom + p.cloneBytes, p.copyEnd);
      EXPECT_LT(p.copyEnd - p.copyFrom - p.cloneBytes, c.block);  // at most one block copied by bytes
      EXPECT_LE(p.copyEnd, i + 1 < c.spans.size() ? s.sourceSize : s.end) << i;
      cursor = stretchAt + (p.copyEnd - p.copyFrom);
    }
    EXPECT_EQ(cursor + layout.trailingPadding - start, layout.payloadSize);
  }
}

}  // namespace
}  // namespace kp
