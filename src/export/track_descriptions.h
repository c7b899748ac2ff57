// Names and bit rates of a source clip's tracks as its MP4 boxes state them:
// the handler type and name and the track ID of every `trak`, and the bit
// rate from the total sample size over the media duration. Only used to
// label, order and size the re-encoded audio, so any structure it cannot
// follow just gives less.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

namespace kp {

// Random-access bytes of one file.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Reads up to `size` bytes at `offset`; the count read (0 at or past the
  // end, or on a read error).
  virtual size_t ReadAt(uint64_t offset, void* data, size_t size) = 0;
};

class MemoryByteSource : public ByteSource {
 public:
  MemoryByteSource(const void* data, size_t size) : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  uint64_t Size() const override { return size_; }
  size_t ReadAt(uint64_t offset, void* data, size_t size) override;

 private:
  const uint8_t* data_;
  size_t size_;
};

struct TrackDescription {
  bool sound = false;   // handler type "soun"
  std::string name;     // handler name, UTF-8
  double bitrate = 0;   // kbit/s; 0 when unknown
  uint32_t trackId = 0;  // tkhd's track ID; 0 when there is none
};

// One description per `trak` of the first `moov` (below 64 MiB), in order.
std::vector<TrackDescription> ReadTrackDescriptions(ByteSource& source);
// The same over a file; an empty list when it cannot be opened.
std::vector<TrackDescription> ReadTrackDescriptions(Files& files, const std::wstring& path);

}  // namespace kp
