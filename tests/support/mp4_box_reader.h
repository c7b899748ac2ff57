// A strict, independent reader of the MP4 files our writer produces, for
// tests: parses the box tree (every child must fit its parent exactly),
// insists that reserved fields are zero and fixed fields hold their one
// allowed value, and decodes the fields and sample tables of each `trak`.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kp::test {

// Big-endian cursor. Reading past the end yields zeros and clears ok(), as
// does Zero() over a byte that is not zero, so a test reads a whole
// structure and checks once.
class BeReader {
 public:
  BeReader() = default;
  BeReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t U8();
  uint16_t U16();
  uint32_t U24();
  uint32_t U32();
  uint64_t U64();
  std::string Str(size_t count);
  std::vector<uint8_t> Bytes(size_t count);
  void Skip(size_t count);
  void Zero(size_t count);
  size_t remaining() const { return size_ - pos_; }
  bool ok() const { return ok_; }
  bool done() const { return ok_ && pos_ == size_; }  // read exactly to the end

 private:
  bool Take(size_t count);
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
  bool ok_ = true;
};

struct Mp4Box {
  std::string type;
  uint64_t offset = 0;      // of the box's first byte in the file
  uint64_t size = 0;        // of the whole box, header included
  uint32_t headerSize = 0;  // 8, or 16 with a 64-bit size
  std::vector<Mp4Box> children;

  uint64_t payloadOffset() const { return offset + headerSize; }
  uint64_t payloadSize() const { return size - headerSize; }
  const Mp4Box* Child(std::string_view childType) const;
  const Mp4Box* Find(std::string_view path) const;  // "mdia/minf/stbl"
  std::vector<std::string> ChildTypes() const;
};

class Mp4File {
 public:
  // With `headerOnly`, a top-level `mdat` may extend beyond the data (for
  // headers built without their payload). False with a reason when broken.
  bool Parse(std::string bytes, std::string* error, bool headerOnly = false);
  const std::string& bytes() const { return bytes_; }
  std::vector<std::string> TopLevelTypes() const;
  const Mp4Box* Find(std::string_view path) const;  // "moov/mvhd"
  std::vector<const Mp4Box*> Traks() const;
  BeReader Content(const Mp4Box& box) const;  // after the box header
  std::string Raw(const Mp4Box& box) const;   // header included

 private:
  std::string bytes_;
  std::vector<Mp4Box> boxes_;
};

// `mvhd`; false unless rate, volume and matrix are the fixed ones.
struct Mp4Movie {
  uint32_t timescale = 0;
  uint32_t duration = 0;
  uint32_t nextTrackId = 0;
};
bool ReadMovie(const Mp4File& file, Mp4Movie* out, std::string* error);

struct ElstEntry {
  uint32_t segmentDuration = 0;
  uint32_t mediaTime = 0;
  uint32_t mediaRate = 0;  // integer and fraction parts as one u32
};

// `mp4a` and its `esds` (descriptors with four-byte lengths, nested exactly).
struct Mp4AudioEntry {
  uint16_t channels = 0;
  uint32_t sampleRateFixed = 0;  // 16.16
  uint16_t esId = 0;
  uint32_t bufferSizeDB = 0;
  uint32_t maxBitrate = 0;
  uint32_t avgBitrate = 0;
  std::vector<uint8_t> decoderSpecificInfo;
};

// `avc1` with its `avcC` and `colr`.
struct Mp4VideoEntry {
  uint16_t width = 0;
  uint16_t height = 0;
  std::string compressorName;  // from the 32-byte field's length byte
  std::vector<uint8_t> avcC;   // content after the box header
  std::vector<uint8_t> sps;
  std::vector<uint8_t> pps;
  std::vector<uint8_t> avcCTail;  // bytes after the PPS
  std::vector<uint8_t> colr;      // content after the box header
};

// One trak. ReadTrack insists on every field that has one allowed value
// (the identity matrix, language "und", one chunk per sample, the media
// header and data reference boxes, the fixed sample entry fields...), a
// zero-terminated handler name ending its box, and exact box sizes.
struct Mp4Track {
  uint32_t tkhdFlags = 0;
  uint32_t trackId = 0;
  uint32_t tkhdDuration = 0;
  uint16_t alternateGroup = 0;
  uint16_t volume = 0;
  uint32_t widthFixed = 0;  // 16.16
  uint32_t heightFixed = 0;
  std::vector<ElstEntry> elst;  // empty without edts
  uint32_t timescale = 0;
  uint32_t mediaDuration = 0;
  std::string handlerType;
  std::string handlerName;
  std::vector<std::string> stblTypes;
  std::vector<std::pair<uint32_t, uint32_t>> stts;  // (count, delta)
  std::vector<uint32_t> stss;  // empty without stss
  std::vector<uint32_t> sizes;
  std::vector<uint64_t> offsets;
  Mp4VideoEntry video;  // for "vide"
  Mp4AudioEntry audio;  // for "soun"

  std::vector<uint32_t> Durations() const;  // stts, one per sample
};
bool ReadTrack(const Mp4File& file, const Mp4Box& trak, Mp4Track* out, std::string* error);

}  // namespace kp::test
