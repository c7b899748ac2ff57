#include "export/segment_cursor.h"

namespace kp {

SegmentCursor::Decision SegmentCursor::Place(int64_t time, int64_t duration) {
  const int64_t midpoint = time + duration / 2;
  bool seek = false;
  int64_t seekTo = 0;
  while (current_ < segments_.size() && midpoint >= segments_[current_].end) {
    ++current_;
    if (current_ < segments_.size() && segments_[current_].start - time > kSeekAheadTicks) {
      seek = true;
      seekTo = segments_[current_].start;
      break;
    }
  }
  if (current_ >= segments_.size()) return {Action::End, 0, 0};
  if (seek) return {Action::Seek, 0, seekTo};
  const ExportSegment& segment = segments_[current_];
  if (midpoint < segment.start) return {Action::Drop, 0, 0};
  const int64_t placed = segment.outputOffset + (time - segment.start);
  lastOutput_ = placed > lastOutput_ ? placed : lastOutput_ + 1;
  return {Action::Keep, lastOutput_, 0};
}

}  // namespace kp
