// Which decoded pictures of the source go into the export, and where: a
// picture belongs to the segment that holds its midpoint, and a segment that
// starts more than 3 s after the current picture is reached by seeking
// rather than decoding up to it.
//
// Output times are strictly increasing in the order pictures are placed and
// never negative: a picture's time is its segment's output offset plus its
// distance from the segment's start, and one that would not come after the
// previous kept picture (a long picture straddling a cut, a segment start
// between two pictures) gets the previous time + 1 tick instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "export/export_segments.h"

namespace kp {

inline constexpr int64_t kSeekAheadTicks = 30'000'000;  // 3 s

class SegmentCursor {
 public:
  enum class Action {
    Keep,  // encode at outputTime
    Drop,  // not kept; read on
    Seek,  // not kept; move the reader to seekTo and read on
    End,   // no segment left; stop reading
  };
  struct Decision {
    Action action = Action::Drop;
    int64_t outputTime = 0;
    int64_t seekTo = 0;
  };

  explicit SegmentCursor(const std::vector<ExportSegment>& segments) : segments_(segments) {}

  // The picture at source `time` lasting `duration` (> 0).
  Decision Place(int64_t time, int64_t duration);

 private:
  const std::vector<ExportSegment>& segments_;
  size_t current_ = 0;
  int64_t lastOutput_ = -1;  // none kept yet
};

}  // namespace kp
