// Writes a clip selection as an MP4 file, copying the payload bytes straight
// from the buffer's segment files: each used segment contributes the byte
// range [first, end) of its file to the mdat payload in segment order, and
// the sample tables point at the clip's own payloads inside those ranges.
// Nothing is decoded or re-framed, and the bytes never pass through this
// program: the file layer copies ranges in the kernel. Where the clip's file
// system shares blocks with the segments' (reflink, block cloning), the
// ranges are laid out block-aligned with padding between them and their
// whole blocks are cloned, so a save writes little more than its header
// (clip_layout.h); elsewhere they follow each other directly. The clip's cuts
// are left out: every sample after a cut, in every track, is timed earlier by
// the cut's length.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "media/replay_buffer.h"
#include "media/segment.h"
#include "platform/files.h"

namespace kp {

// The part of one segment file that a clip copies.
struct SegmentSpan {
  std::shared_ptr<Segment> segment;
  uint64_t first = UINT64_MAX;  // smallest payload offset used in the file
  uint64_t end = 0;             // largest offset + size used in the file
  uint64_t base = 0;            // where byte `first` lands in the mdat payload
};

// Writes `clip` to `path` (through `path` + ".part"). `progress`, when set,
// receives the fraction written about every 64 MiB and 1.0 at the end. Needs
// no buffer lock: it reads only ranges indexed before the clip was taken or
// extended. False, with a log line, when a segment cannot be read or the file
// cannot be written; an existing file at `path` is then left as it was.
bool WriteClipFile(const ReplayBuffer::Clip& clip, const std::wstring& path,
                   const std::function<void(double)>& progress, Files& files = SystemFiles());

}  // namespace kp
