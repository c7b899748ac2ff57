#include "video/h264_annexb.h"

#include <cstring>

namespace kp {
namespace {

// Position of the next 00 00 01 at or after `from`, or `size` when none.
size_t FindStartCode(const uint8_t* data, size_t size, size_t from) {
  // Look for the 01 byte (memchr is fast on multi-megabyte pictures), then
  // check the two zeros before it.
  size_t pos = from + 2;
  while (pos < size) {
    const void* hit = std::memchr(data + pos, 0x01, size - pos);
    if (hit == nullptr) return size;
    pos = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
    if (data[pos - 1] == 0 && data[pos - 2] == 0) return pos - 2;
    ++pos;
  }
  return size;
}

}  // namespace

std::vector<std::span<const uint8_t>> SplitAnnexB(std::span<const uint8_t> stream) {
  std::vector<std::span<const uint8_t>> units;
  const uint8_t* data = stream.data();
  const size_t size = stream.size();
  if (size < 3) return units;
  size_t code = FindStartCode(data, size, 0);
  while (code < size) {
    const size_t begin = code + 3;
    // The next start code is searched from the unit's first byte, so a
    // start code directly after another yields an empty (skipped) unit.
    const size_t next = FindStartCode(data, size, begin);
    size_t end = next;
    while (end > begin && data[end - 1] == 0) --end;
    if (end > begin) units.emplace_back(data + begin, end - begin);
    code = next;
  }
  return units;
}

void AppendLengthPrefixed(std::span<const uint8_t> stream, std::vector<uint8_t>& out) {
  for (std::span<const uint8_t> unit : SplitAnnexB(stream)) {
    const uint8_t type = NalType(unit);
    if (type == kNalSps || type == kNalPps || type == kNalAccessUnitDelimiter) continue;
    const size_t length = unit.size();
    out.push_back(static_cast<uint8_t>(length >> 24));
    out.push_back(static_cast<uint8_t>(length >> 16));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(length));
    out.insert(out.end(), unit.begin(), unit.end());
  }
}

bool ExtractParameterSets(std::span<const uint8_t> stream, std::vector<uint8_t>& sps, std::vector<uint8_t>& pps) {
  bool haveSps = false;
  bool havePps = false;
  for (std::span<const uint8_t> unit : SplitAnnexB(stream)) {
    const uint8_t type = NalType(unit);
    if (type == kNalSps && !haveSps) {
      sps.assign(unit.begin(), unit.end());
      haveSps = true;
    } else if (type == kNalPps && !havePps) {
      pps.assign(unit.begin(), unit.end());
      havePps = true;
    }
  }
  return haveSps && havePps;
}

}  // namespace kp
