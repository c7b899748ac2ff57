#include "video/h264_stream_reader.h"

#include "video/h264_annexb.h"

namespace kp {

namespace {

// Reads bits of an RBSP from a NAL unit's bytes, skipping the emulation
// prevention byte of each 00 00 03 sequence on the fly.
class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool Bit(uint32_t* bit) {
    if (bitPos_ == 0) {
      if (!NextByte()) return false;
    }
    *bit = (current_ >> (7 - bitPos_)) & 1u;
    bitPos_ = (bitPos_ + 1) % 8;
    return true;
  }

  bool Bits(int count, uint32_t* value) {
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) {
      uint32_t bit;
      if (!Bit(&bit)) return false;
      v = (v << 1) | bit;
    }
    *value = v;
    return true;
  }

  // ue(v): unsigned Exp-Golomb; values beyond 32 bits are refused.
  bool Ue(uint32_t* value) {
    int zeros = 0;
    uint32_t bit = 0;
    for (;;) {
      if (!Bit(&bit)) return false;
      if (bit) break;
      if (++zeros > 31) return false;
    }
    uint32_t rest = 0;
    if (zeros > 0 && !Bits(zeros, &rest)) return false;
    const uint64_t v = (uint64_t{1} << zeros) - 1 + rest;
    if (v > 0xFFFFFFFFu) return false;
    *value = static_cast<uint32_t>(v);
    return true;
  }

  // se(v): signed Exp-Golomb.
  bool Se(int32_t* value) {
    uint32_t k;
    if (!Ue(&k)) return false;
    const int64_t magnitude = (static_cast<int64_t>(k) + 1) / 2;
    *value = static_cast<int32_t>((k & 1) ? magnitude : -magnitude);
    return true;
  }

 private:
  bool NextByte() {
    if (pos_ >= bytes_.size()) return false;
    if (zeroRun_ >= 2 && bytes_[pos_] == 0x03) {
      zeroRun_ = 0;
      if (++pos_ >= bytes_.size()) return false;
    }
    current_ = bytes_[pos_++];
    zeroRun_ = current_ == 0 ? zeroRun_ + 1 : 0;
    return true;
  }

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
  int zeroRun_ = 0;
  uint8_t current_ = 0;
  int bitPos_ = 0;
};

bool SkipScalingList(BitReader& reader, int size) {
  int32_t last = 8;
  int32_t next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) {
      int32_t delta;
      if (!reader.Se(&delta)) return false;
      next = (last + delta + 256) % 256;
    }
    if (next != 0) last = next;
  }
  return true;
}

bool HasChromaFields(uint32_t profile) {
  switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83:
    case 86: case 118: case 128: case 138: case 139: case 134: case 135:
      return true;
    default:
      return false;
  }
}

bool StartsNewUnitAfterSlice(uint8_t type) {
  return type == kNalSei || type == kNalSps || type == kNalPps || (type >= 14 && type <= 18);
}

}  // namespace

bool ParseSps(std::span<const uint8_t> nal, H264SpsFields* out) {
  if (nal.size() < 4 || NalType(nal) != kNalSps) return false;
  BitReader r(nal.subspan(1));
  H264SpsFields f;
  uint32_t constraints, spsId;
  if (!r.Bits(8, &f.profileIdc) || !r.Bits(8, &constraints) || !r.Bits(8, &f.levelIdc) || !r.Ue(&spsId)) {
    return false;
  }
  bool separateColourPlanes = false;
  if (HasChromaFields(f.profileIdc)) {
    uint32_t v;
    if (!r.Ue(&f.chromaFormatIdc) || f.chromaFormatIdc > 3) return false;
    if (f.chromaFormatIdc == 3) {
      if (!r.Bit(&v)) return false;
      separateColourPlanes = v != 0;
    }
    uint32_t bitDepthLuma, bitDepthChroma, bypass, scalingPresent;
    if (!r.Ue(&bitDepthLuma) || !r.Ue(&bitDepthChroma) || !r.Bit(&bypass) || !r.Bit(&scalingPresent)) {
      return false;
    }
    if (scalingPresent) {
      const int lists = f.chromaFormatIdc != 3 ? 8 : 12;
      for (int i = 0; i < lists; ++i) {
        uint32_t present;
        if (!r.Bit(&present)) return false;
        if (present && !SkipScalingList(r, i < 6 ? 16 : 64)) return false;
      }
    }
  }
  uint32_t log2MaxFrameNum, pocType;
  if (!r.Ue(&log2MaxFrameNum) || !r.Ue(&pocType)) return false;
  if (pocType == 0) {
    uint32_t log2MaxPocLsb;
    if (!r.Ue(&log2MaxPocLsb)) return false;
  } else if (pocType == 1) {
    uint32_t alwaysZero, cycle;
    int32_t offset;
    if (!r.Bit(&alwaysZero) || !r.Se(&offset) || !r.Se(&offset) || !r.Ue(&cycle) || cycle > 255) return false;
    for (uint32_t i = 0; i < cycle; ++i) {
      if (!r.Se(&offset)) return false;
    }
  } else if (pocType != 2) {
    return false;
  }
  uint32_t maxRefFrames, gaps, widthMbsMinus1, heightUnitsMinus1, frameMbsOnly;
  if (!r.Ue(&maxRefFrames) || !r.Bit(&gaps) || !r.Ue(&widthMbsMinus1) || !r.Ue(&heightUnitsMinus1) ||
      !r.Bit(&frameMbsOnly)) {
    return false;
  }
  f.frameMbsOnly = frameMbsOnly != 0;
  uint32_t v;
  if (!f.frameMbsOnly && !r.Bit(&v)) return false;  // mb_adaptive_frame_field_flag
  uint32_t direct8x8, cropping;
  if (!r.Bit(&direct8x8) || !r.Bit(&cropping)) return false;
  uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
  if (cropping && (!r.Ue(&cropLeft) || !r.Ue(&cropRight) || !r.Ue(&cropTop) || !r.Ue(&cropBottom))) {
    return false;
  }
  if (widthMbsMinus1 > 1023 || heightUnitsMinus1 > 1023) return false;  // beyond 16384 pixels

  const uint64_t codedWidth = (uint64_t{widthMbsMinus1} + 1) * 16;
  const uint64_t codedHeight = (uint64_t{heightUnitsMinus1} + 1) * 16 * (f.frameMbsOnly ? 1 : 2);
  // Crop units: the chroma subsampling for 4:2:0 and 4:2:2, one pixel for
  // monochrome, 4:4:4 and separate colour planes; doubled vertically for
  // field coding.
  uint64_t cropUnitX = 1;
  uint64_t cropUnitY = f.frameMbsOnly ? 1 : 2;
  if (!separateColourPlanes && f.chromaFormatIdc != 0) {
    const uint64_t subWidth = f.chromaFormatIdc == 3 ? 1 : 2;
    const uint64_t subHeight = f.chromaFormatIdc == 1 ? 2 : 1;
    cropUnitX = subWidth;
    cropUnitY *= subHeight;
  }
  const uint64_t cropX = cropUnitX * (uint64_t{cropLeft} + cropRight);
  const uint64_t cropY = cropUnitY * (uint64_t{cropTop} + cropBottom);
  if (cropX >= codedWidth || cropY >= codedHeight) return false;
  f.width = static_cast<uint32_t>(codedWidth - cropX);
  f.height = static_cast<uint32_t>(codedHeight - cropY);
  *out = f;
  return true;
}

bool ParseSliceStart(std::span<const uint8_t> nal, uint32_t* firstMb, uint32_t* sliceType) {
  if (nal.size() < 2) return false;
  const uint8_t type = NalType(nal);
  if (type != kNalSlice && type != kNalIdrSlice) return false;
  BitReader r(nal.subspan(1));
  return r.Ue(firstMb) && r.Ue(sliceType) && *sliceType <= 9;
}

std::vector<H264AccessUnit> SplitAccessUnits(std::span<const uint8_t> stream) {
  std::vector<H264AccessUnit> units;
  bool unitHasSlice = false;
  auto startUnit = [&] {
    units.emplace_back();
    unitHasSlice = false;
  };
  for (std::span<const uint8_t> nal : SplitAnnexB(stream)) {
    const uint8_t type = NalType(nal);
    uint32_t firstMb = 0;
    uint32_t sliceType = 0;
    bool sliceOk = true;
    const bool isSlice = type == kNalSlice || type == kNalIdrSlice;
    if (isSlice) sliceOk = ParseSliceStart(nal, &firstMb, &sliceType);

    if (units.empty() || type == kNalAccessUnitDelimiter ||
        (unitHasSlice && StartsNewUnitAfterSlice(type)) ||
        (unitHasSlice && isSlice && sliceOk && firstMb == 0)) {
      startUnit();
    }
    H264AccessUnit& unit = units.back();
    unit.nals.push_back(nal);
    if (isSlice) {
      unitHasSlice = true;
      if (type == kNalIdrSlice) unit.idr = true;
      if (!sliceOk) unit.badSlice = true;
      else if (IsBSliceType(sliceType)) unit.bSlice = true;
    }
  }
  // Every NAL unit view follows a three-byte start code (00 00 01) within
  // the stream, so a unit's bytes begin three bytes before its first view.
  for (H264AccessUnit& unit : units) {
    const uint8_t* begin = unit.nals.front().data() - 3;
    const uint8_t* end = unit.nals.back().data() + unit.nals.back().size();
    unit.bytes = std::span<const uint8_t>(begin, static_cast<size_t>(end - begin));
  }
  return units;
}

}  // namespace kp
