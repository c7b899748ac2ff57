// The time and picture geometry of an export: which source time ranges end
// up in the output and where, and which source pixels are kept.
#pragma once

#include <cstdint>
#include <vector>

#include "export/export_job.h"

namespace kp {

// Stand-in end for a clip of unknown duration: the largest tick count whose
// 48 kHz frame position still fits in 64 bits.
inline constexpr int64_t kUnknownDurationEnd = 192'153'584'101'141;
inline constexpr int64_t kMinSegmentTicks = 10'000;  // 1 ms

// A kept source range and where it starts on the output time line (the
// lengths of the segments before it, laid end to end from 0).
struct ExportSegment {
  int64_t start = 0;
  int64_t end = 0;
  int64_t outputOffset = 0;

  int64_t Length() const { return end - start; }
};

// Sorted, non-overlapping ranges at least 1 ms long with their output
// offsets. No keep ranges keeps the whole clip (to kUnknownDurationEnd when
// `duration` is 0 or unknown); starts are clamped to 0 and, with a known
// duration, ends to it; touching or overlapping ranges merge.
std::vector<ExportSegment> BuildSegments(const std::vector<KeepRange>& keep, int64_t duration);

// Sum of the segments' lengths.
int64_t OutputDuration(const std::vector<ExportSegment>& segments);

// Source pixels kept: all four edges even; output size = width x height.
struct SourceRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;

  uint32_t Width() const { return static_cast<uint32_t>(right - left); }
  uint32_t Height() const { return static_cast<uint32_t>(bottom - top); }
  bool operator==(const SourceRect&) const = default;
};

// The whole (even) picture, or the job's crop clamped into it: the corner
// within 0..size-16, the size within what is left, all rounded down to even.
// A crop that ends up narrower or lower than 16 pixels is ignored.
SourceRect ComputeSourceRect(const CropRect& crop, uint32_t width, uint32_t height);

}  // namespace kp
