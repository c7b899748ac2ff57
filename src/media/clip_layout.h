// Where the segment spans of a clip land in its mdat payload.
//
// Packed (any file system): the spans back to back, each the byte range
// [first, end) of its segment file, as the sample tables expect them.
//
// Block-aligned (where the clip's file system clones blocks): each span's
// bytes sit at file positions congruent to their positions in the segment
// modulo the block size, so whole blocks can be shared instead of copied.
// A span's stretch is widened to whole blocks: down to the start of the
// block holding `first`, and up to the end of the block holding `end` unless
// that runs past the segment's end of file or the span is the last one
// (whose partial last block is copied by bytes). The stretch begins at the
// first block boundary at or after the previous stretch's end; the bytes in
// between are zero padding. All of it (rounding and padding) is counted in
// the payload; the sample tables point only at samples, so players never
// read the rest. The payload's own start is fixed by the header, so the
// plan takes the size of everything before the mdat box.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kp {

struct SpanSource {
  uint64_t first = 0;       // first byte the clip uses in the source file
  uint64_t end = 0;         // one past the last byte it uses
  uint64_t sourceSize = 0;  // the source file's length
};

struct SpanPlacement {
  uint64_t padding = 0;     // zero bytes written before this span's stretch
  uint64_t copyFrom = 0;    // first source byte of the stretch
  uint64_t copyEnd = 0;     // one past its last source byte
  uint64_t cloneBytes = 0;  // leading bytes of the stretch that are whole blocks
  uint64_t base = 0;        // payload position of source byte `first`
};

struct ClipLayout {
  uint64_t blockSize = 0;  // 0: packed, nothing to clone
  std::vector<SpanPlacement> spans;
  uint64_t trailingPadding = 0;  // zero bytes after the last stretch
  uint64_t payloadSize = 0;
};

ClipLayout PackSpans(std::span<const SpanSource> spans);

// `headerSize`: bytes of ftyp and moov. The mdat header after them takes 8
// or 16 bytes depending on the payload size; the plan is made consistent
// with the header its own size calls for (padding at the end where the two
// would disagree, just below 4 GiB).
ClipLayout PlanBlockAlignedLayout(std::span<const SpanSource> spans, uint64_t blockSize, uint64_t headerSize);

// The payload position in `placed` of the byte at `packedOffset` in
// `packed`, both planned from the same spans. `packedOffset` must lie in a
// span.
uint64_t MovePackedOffset(const ClipLayout& packed, const ClipLayout& placed, uint64_t packedOffset);

}  // namespace kp
