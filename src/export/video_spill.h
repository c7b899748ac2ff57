// Encoded export video kept out of memory: packets are appended to a scratch
// file beside the output through a large buffer, only their index stays in
// memory, and each packet's bytes are read back from its own offset when the
// MP4 is written, so the payload may be laid out in any order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/packet.h"
#include "platform/files.h"

namespace kp {

inline constexpr size_t kSpillBufferBytes = 8'388'608;  // 8 MiB

struct SpilledVideoPacket {
  int64_t pts = 0;       // output time line
  int64_t duration = 0;
  bool keyframe = false;
  uint32_t size = 0;
  uint64_t offset = 0;   // in the scratch file
};

class VideoSpill {
 public:
  explicit VideoSpill(Files& files, size_t bufferBytes = kSpillBufferBytes)
      : files_(files), bufferBytes_(bufferBytes) {}

  // Creates the scratch file (deleted when this object goes).
  IoStatus Open(const std::wstring& path);
  // Indexes the packet and buffers its bytes, writing the buffer out once
  // it holds `bufferBytes` or more. False when that write failed.
  bool Add(const EncodedPacket& packet);
  // Writes what is buffered and rewinds for reading. False on failure.
  bool Finish();
  // The bytes of `packet` into `buffer` (after Finish). Reads in file order
  // need no seek.
  bool Read(const SpilledVideoPacket& packet, std::vector<uint8_t>& buffer);

  // Every duration but the last becomes the gap to the next packet (at
  // least 1), so the track has no holes or overlaps.
  void FixDurations();

  const std::vector<SpilledVideoPacket>& Packets() const { return packets_; }

 private:
  bool WriteBuffer();

  Files& files_;
  size_t bufferBytes_;
  std::unique_ptr<File> file_;
  std::vector<uint8_t> buffer_;
  std::vector<SpilledVideoPacket> packets_;
  uint64_t nextOffset_ = 0;
  uint64_t readPosition_ = 0;
};

}  // namespace kp
