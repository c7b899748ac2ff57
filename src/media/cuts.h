// Cuts: the stretches where no video was recorded, and the arithmetic of
// recorded time around them.
//
// A cut depends only on the video time stamps: it is a stretch of more than
// 1 s between the end of one video sample (pts + duration) and the next video
// sample, and its length is that distance. A pause, a capture chain that
// cannot be built, a pipeline stall or a device-loss rebuild longer than 1 s
// all make one (live audio inside it is not kept). Frames that keep coming,
// even black or frozen ones, are not a cut.
//
// Recorded time is wall-clock time with the cuts left out. A clip plays its
// samples on recorded time: every sample after a cut, in every track, moves
// earlier by the cut's length, so the file plays straight on and the tracks
// stay aligned on both sides.
#pragma once

#include <cstdint>
#include <vector>

#include "media/segment.h"
#include "platform/clock.h"

namespace kp {

// More than this between two video samples is a cut.
inline constexpr int64_t kCutThreshold = kTicksPerSecond;

struct MediaCut {
  int64_t start = 0;   // end of the last video sample before the stretch
  int64_t length = 0;  // up to the next video sample's pts
  int64_t End() const { return start + length; }
  bool operator==(const MediaCut&) const = default;
};

// Cuts are kept in increasing `start` order and never overlap.
using CutList = std::vector<MediaCut>;

// How much earlier a sample stamped `pts` plays: the total length of the cuts
// that end at or before it.
int64_t CutShift(const CutList& cuts, int64_t pts);

// CutShift for a run of samples in increasing pts order (one track of a
// clip), in time linear in samples plus cuts.
class CutShifter {
 public:
  explicit CutShifter(const CutList& cuts) : cuts_(cuts) {}
  int64_t ShiftAt(int64_t pts);

 private:
  const CutList& cuts_;
  size_t next_ = 0;  // first cut not yet passed
  int64_t shift_ = 0;
};

// Whether `pts` lies inside a cut, [start, start + length).
bool InsideCut(const CutList& cuts, int64_t pts);

// Appends an audio record to a clip's track list unless its pts lies inside
// a cut, or it would, moved, start before the moved end of the list's last
// packet (only possible right after a cut; a track's own gaps stay gaps).
// True when appended.
bool AppendAudioOutsideCuts(const CutList& cuts, std::vector<PacketRecord>& list, const PacketRecord& record);

}  // namespace kp
