// Reading a complete H.264 Annex-B elementary stream (as an encoder or a
// file holds it) into access units, with the few header fields a muxer
// needs: the picture size from the sequence parameter set (after frame
// cropping) and, per slice, first_mb_in_slice and slice_type. All parsing is
// bounds-checked: malformed input yields false, never a read past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kp {

inline constexpr uint8_t kNalSlice = 1;
inline constexpr uint8_t kNalIdrSlice = 5;
inline constexpr uint8_t kNalSei = 6;

// The fields of a sequence parameter set that describe the picture.
struct H264SpsFields {
  uint32_t profileIdc = 0;
  uint32_t levelIdc = 0;
  uint32_t chromaFormatIdc = 1;
  bool frameMbsOnly = true;
  uint32_t width = 0;   // displayed width: coded width minus the crop
  uint32_t height = 0;  // displayed height
};

// `nal` is one SPS NAL unit (header byte + RBSP with emulation prevention).
bool ParseSps(std::span<const uint8_t> nal, H264SpsFields* out);

// Reads first_mb_in_slice and slice_type of a slice NAL unit (type 1 or 5).
bool ParseSliceStart(std::span<const uint8_t> nal, uint32_t* firstMb, uint32_t* sliceType);

// slice_type values 1 and 6 are B slices.
inline bool IsBSliceType(uint32_t sliceType) { return sliceType % 5 == 1; }

struct H264AccessUnit {
  // The NAL units of the unit, in stream order (views into the stream).
  std::vector<std::span<const uint8_t>> nals;
  // The bytes of the whole unit as they stand in the stream, from the start
  // code of its first NAL unit to the end of its last one.
  std::span<const uint8_t> bytes;
  bool idr = false;      // holds an IDR slice
  bool bSlice = false;   // holds a B slice
  bool badSlice = false; // a slice header could not be read
};

// Splits `stream` into access units. A new unit begins at an access unit
// delimiter; at an SEI, SPS or PPS (types 6 to 8, or 14 to 18) that follows
// a slice of the current unit; and at a slice (type 1 or 5) whose
// first_mb_in_slice is 0 when the current unit already holds a slice.
// Units without any slice (e.g. trailing parameter sets) are kept; callers
// decide what to do with them.
std::vector<H264AccessUnit> SplitAccessUnits(std::span<const uint8_t> stream);

}  // namespace kp
