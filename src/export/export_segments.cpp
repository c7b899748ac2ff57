#include "export/export_segments.h"

#include <algorithm>

namespace kp {

namespace {

int64_t RoundDownEven(int64_t v) { return v - (v % 2 + 2) % 2; }

}  // namespace

std::vector<ExportSegment> BuildSegments(const std::vector<KeepRange>& keep, int64_t duration) {
  std::vector<KeepRange> ranges = keep;
  if (ranges.empty()) ranges.push_back({0, duration > 0 ? duration : kUnknownDurationEnd});

  std::vector<KeepRange> usable;
  for (KeepRange r : ranges) {
    r.start = std::max<int64_t>(r.start, 0);
    if (duration > 0) r.end = std::min(r.end, duration);
    if (r.end - r.start >= kMinSegmentTicks) usable.push_back(r);
  }
  std::stable_sort(usable.begin(), usable.end(),
                   [](const KeepRange& a, const KeepRange& b) { return a.start < b.start; });

  std::vector<ExportSegment> segments;
  for (const KeepRange& r : usable) {
    if (!segments.empty() && r.start <= segments.back().end) {
      segments.back().end = std::max(segments.back().end, r.end);
    } else {
      segments.push_back({r.start, r.end, 0});
    }
  }
  int64_t offset = 0;
  for (ExportSegment& s : segments) {
    s.outputOffset = offset;
    offset += s.Length();
  }
  return segments;
}

int64_t OutputDuration(const std::vector<ExportSegment>& segments) {
  int64_t total = 0;
  for (const ExportSegment& s : segments) total += s.Length();
  return total;
}

SourceRect ComputeSourceRect(const CropRect& crop, uint32_t width, uint32_t height) {
  const int64_t w = width;
  const int64_t h = height;
  SourceRect rect{0, 0, static_cast<int32_t>(RoundDownEven(w)), static_cast<int32_t>(RoundDownEven(h))};
  if (!crop.enabled) return rect;
  const int64_t x = RoundDownEven(std::clamp<int64_t>(crop.x, 0, std::max<int64_t>(w - 16, 0)));
  const int64_t y = RoundDownEven(std::clamp<int64_t>(crop.y, 0, std::max<int64_t>(h - 16, 0)));
  const int64_t cw = RoundDownEven(std::min<int64_t>(w - x, crop.width));
  const int64_t ch = RoundDownEven(std::min<int64_t>(h - y, crop.height));
  if (cw >= 16 && ch >= 16) {
    rect = {static_cast<int32_t>(x), static_cast<int32_t>(y), static_cast<int32_t>(x + cw),
            static_cast<int32_t>(y + ch)};
  }
  return rect;
}

}  // namespace kp
