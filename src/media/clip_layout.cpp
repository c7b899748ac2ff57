#include "media/clip_layout.h"

#include <algorithm>

#include "media/mp4_boxes.h"

namespace kp {

namespace {

// The smallest payload that takes the 16-byte mdat header.
constexpr uint64_t kSmallestLargeMdatPayload = 0xFFFFFFF8;

uint64_t RoundDown(uint64_t value, uint64_t block) { return value - value % block; }
uint64_t RoundUp(uint64_t value, uint64_t block) { return RoundDown(value + block - 1, block); }

ClipLayout PlaceFrom(std::span<const SpanSource> spans, uint64_t block, uint64_t payloadStart) {
  ClipLayout layout;
  layout.blockSize = block;
  uint64_t cursor = payloadStart;  // file position
  for (size_t i = 0; i < spans.size(); ++i) {
    const SpanSource& source = spans[i];
    SpanPlacement& place = layout.spans.emplace_back();
    place.copyFrom = RoundDown(source.first, block);
    place.copyEnd = source.end;
    if (i + 1 < spans.size()) place.copyEnd = std::max(source.end, std::min(RoundUp(source.end, block), source.sourceSize));
    place.cloneBytes = RoundDown(place.copyEnd - place.copyFrom, block);
    const uint64_t at = RoundUp(cursor, block);
    place.padding = at - cursor;
    place.base = at + (source.first - place.copyFrom) - payloadStart;
    cursor = at + (place.copyEnd - place.copyFrom);
  }
  layout.payloadSize = cursor - payloadStart;
  return layout;
}

}  // namespace

ClipLayout PackSpans(std::span<const SpanSource> spans) {
  ClipLayout layout;
  for (const SpanSource& source : spans) {
    layout.spans.push_back({0, source.first, source.end, 0, layout.payloadSize});
    layout.payloadSize += source.end - source.first;
  }
  return layout;
}

ClipLayout PlanBlockAlignedLayout(std::span<const SpanSource> spans, uint64_t blockSize, uint64_t headerSize) {
  ClipLayout small = PlaceFrom(spans, blockSize, headerSize + MdatHeaderSize(0));
  if (MdatHeaderSize(small.payloadSize) == MdatHeaderSize(0)) return small;
  ClipLayout large = PlaceFrom(spans, blockSize, headerSize + MdatHeaderSize(kSmallestLargeMdatPayload));
  if (large.payloadSize < kSmallestLargeMdatPayload) {
    // Only the small header fits this payload, yet the small header moves it
    // over the limit: pad up to the large header's range.
    large.trailingPadding = kSmallestLargeMdatPayload - large.payloadSize;
    large.payloadSize = kSmallestLargeMdatPayload;
  }
  return large;
}

uint64_t MovePackedOffset(const ClipLayout& packed, const ClipLayout& placed, uint64_t packedOffset) {
  auto after = std::upper_bound(packed.spans.begin(), packed.spans.end(), packedOffset,
                                [](uint64_t offset, const SpanPlacement& span) { return offset < span.base; });
  const size_t i = static_cast<size_t>(after - packed.spans.begin()) - 1;
  return placed.spans[i].base + (packedOffset - packed.spans[i].base);
}

}  // namespace kp
