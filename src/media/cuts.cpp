#include "media/cuts.h"

#include <algorithm>

namespace kp {

namespace {

// First cut that ends after `pts`.
CutList::const_iterator FirstEndingAfter(const CutList& cuts, int64_t pts) {
  return std::upper_bound(cuts.begin(), cuts.end(), pts, [](int64_t value, const MediaCut& cut) { return value < cut.End(); });
}

}  // namespace

int64_t CutShift(const CutList& cuts, int64_t pts) {
  int64_t shift = 0;
  for (auto it = cuts.begin(), end = FirstEndingAfter(cuts, pts); it != end; ++it) shift += it->length;
  return shift;
}

int64_t CutShifter::ShiftAt(int64_t pts) {
  if (next_ > 0 && cuts_[next_ - 1].End() > pts) {  // went back: start over
    next_ = 0;
    shift_ = 0;
  }
  while (next_ < cuts_.size() && cuts_[next_].End() <= pts) shift_ += cuts_[next_++].length;
  return shift_;
}

bool InsideCut(const CutList& cuts, int64_t pts) {
  const auto it = FirstEndingAfter(cuts, pts);
  return it != cuts.end() && it->start <= pts;
}

bool AppendAudioOutsideCuts(const CutList& cuts, std::vector<PacketRecord>& list, const PacketRecord& record) {
  const auto next = FirstEndingAfter(cuts, record.pts);
  if (next != cuts.end() && next->start <= record.pts) return false;  // inside a cut
  if (!list.empty() && list.back().pts < record.pts) {
    // The cuts between the last packet and this one, which move this one
    // closer to it.
    const PacketRecord& last = list.back();
    int64_t closer = 0;
    for (auto it = FirstEndingAfter(cuts, last.pts); it != next; ++it) closer += it->length;
    if (closer > 0 && record.pts - closer < last.pts + last.duration) return false;
  }
  list.push_back(record);
  return true;
}

}  // namespace kp
