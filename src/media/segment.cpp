#include "media/segment.h"

#include <cstdio>
#include <utility>

namespace kp {

Segment::Segment(Files& files, std::wstring path, uint64_t index, ByteCount totalBytes)
    : path(std::move(path)), index(index), totalBytes(std::move(totalBytes)), files_(files) {}

Segment::~Segment() {
  files_.Delete(path);
  if (totalBytes != nullptr) totalBytes->fetch_sub(bytes, std::memory_order_relaxed);
}

std::wstring SegmentFileName(uint64_t index) {
  char text[32];
  std::snprintf(text, sizeof(text), "%06llu.kpseg", static_cast<unsigned long long>(index));
  return std::wstring(text, text + std::char_traits<char>::length(text));
}

namespace {

void PutLe(uint8_t* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

void EncodeRecordHeader(uint8_t* out, uint32_t stream, bool keyframe, uint32_t size, int64_t pts,
                        int64_t duration) {
  out[0] = 'K';
  out[1] = 'P';
  out[2] = 'P';
  out[3] = 'K';
  out[4] = static_cast<uint8_t>(stream);
  out[5] = keyframe ? 1 : 0;
  out[6] = 0;
  out[7] = 0;
  PutLe(out + 8, size, 4);
  PutLe(out + 12, 0, 4);
  PutLe(out + 16, static_cast<uint64_t>(pts), 8);
  PutLe(out + 24, static_cast<uint64_t>(duration), 8);
}

}  // namespace kp
