// One file of the replay buffer's on-disk ring, and the index entry that
// points into it. A segment file is a plain run of records: a 32-byte
// little-endian header ("KPPK", stream, keyframe flag, payload size, pts,
// duration) followed by the payload exactly as the packet carries it. Files
// are never parsed back: readers use the offsets kept in the index.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/files.h"

namespace kp {

inline constexpr size_t kRecordHeaderSize = 32;

// The buffer-wide count of bytes held in segment files. Segments share it with
// their buffer because a clip may keep a segment after the buffer is gone.
using ByteCount = std::shared_ptr<std::atomic<uint64_t>>;

// Shared by the writer, the index and clips. The file lives exactly as long as
// the last reference: the destructor deletes it (ignoring the result) and
// takes its bytes off the buffer-wide count, on whichever thread lets go last.
class Segment {
 public:
  Segment(Files& files, std::wstring path, uint64_t index, ByteCount totalBytes);
  ~Segment();
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;

  const std::wstring path;
  const uint64_t index;  // 1 for the first segment of a buffer
  const ByteCount totalBytes;
  // Bytes appended to the file, record headers included. Only the writer
  // thread changes it; the destructor reads it after the last reference went.
  uint64_t bytes = 0;

 private:
  Files& files_;
};

// One stored packet as the index and clips see it.
struct PacketRecord {
  int64_t pts = 0;
  int64_t duration = 0;
  uint64_t offset = 0;  // first payload byte within the segment file
  uint32_t size = 0;    // payload bytes
  bool keyframe = false;
  std::shared_ptr<Segment> segment;
};

// "000042.kpseg" for index 42 (at least six digits).
std::wstring SegmentFileName(uint64_t index);

// Writes the 32-byte record header for a payload of `size` bytes.
// `stream` is 0 for video and k + 1 for audio track k.
void EncodeRecordHeader(uint8_t* out, uint32_t stream, bool keyframe, uint32_t size, int64_t pts,
                        int64_t duration);

}  // namespace kp
