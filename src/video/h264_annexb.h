// H.264 byte-stream helpers: splitting an Annex-B stream (start-code
// delimited, as hardware encoders emit it) into NAL units, and converting an
// access unit into the length-prefixed payload our packets carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kp {

inline constexpr uint8_t kNalSps = 7;
inline constexpr uint8_t kNalPps = 8;
inline constexpr uint8_t kNalAccessUnitDelimiter = 9;

// The NAL units of `stream` in order, as views into it: each begins after a
// 00 00 01 start code and ends before the next one (or at the end of the
// buffer), with trailing zero bytes removed; that drops the leading zero of a
// four-byte start code and any padding. Units that are empty after trimming
// are left out. Bytes before the first start code are ignored.
std::vector<std::span<const uint8_t>> SplitAnnexB(std::span<const uint8_t> stream);

// Type of a NAL unit: the low five bits of its first byte. `unit` must not
// be empty.
inline uint8_t NalType(std::span<const uint8_t> unit) { return unit[0] & 0x1F; }

// Appends to `out` every NAL unit of `stream` except SPS, PPS and access
// unit delimiters, each as a 4-byte big-endian length followed by its bytes.
// Parameter sets travel in VideoTrackInfo instead.
void AppendLengthPrefixed(std::span<const uint8_t> stream, std::vector<uint8_t>& out);

// Copies the first SPS of `stream` into `sps` and the first PPS into `pps`;
// a destination keeps its content when the stream has no unit of its type.
// True when the stream held both.
bool ExtractParameterSets(std::span<const uint8_t> stream, std::vector<uint8_t>& sps, std::vector<uint8_t>& pps);

}  // namespace kp
