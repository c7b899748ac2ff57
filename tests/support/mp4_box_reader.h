// A strict, independent reader of the MP4 files our writer produces, for
// tests: parses the box tree (checking that every child fits its parent
// exactly) and decodes the fields and sample tables of each `trak`, so tests
// can compare what the file says with the packets they pushed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kp::test {

// Big-endian cursor over a byte range. Reading past the end yields zeros and
// clears ok(), so a test can read a whole structure and check once.
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
  void Skip(size_t count);
  size_t remaining() const { return size_ - pos_; }
  size_t position() const { return pos_; }
  bool ok() const { return ok_; }

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
  uint32_t skipped = 0;     // bytes between the header and the first child
  std::vector<Mp4Box> children;

  uint64_t payloadOffset() const { return offset + headerSize; }
  uint64_t payloadSize() const { return size - headerSize; }
  // nth child of that type, or null.
  const Mp4Box* Child(std::string_view childType, int nth = 0) const;
  std::vector<const Mp4Box*> Children(std::string_view childType) const;
  // Path of child types separated by '/', e.g. "mdia/minf/stbl/stsz".
  const Mp4Box* Find(std::string_view path) const;
  // Types of the direct children, in order.
  std::vector<std::string> ChildTypes() const;
};

class Mp4File {
 public:
  // Parses `bytes`. With `headerOnly`, a top-level `mdat` may extend beyond
  // the data (for headers built without their payload). False with a reason
  // in `error` when the structure is broken.
  bool Parse(std::string bytes, std::string* error, bool headerOnly = false);

  const std::string& bytes() const { return bytes_; }
  const std::vector<Mp4Box>& boxes() const { return boxes_; }
  std::vector<std::string> TopLevelTypes() const;
  const Mp4Box* Find(std::string_view path) const;  // "moov/mvhd"
  std::vector<const Mp4Box*> Traks() const;
  // Reader over the box's content after its header; for a full box the
  // version and flags come first.
  BeReader Content(const Mp4Box& box) const;
  // The box's bytes, header included.
  std::string Raw(const Mp4Box& box) const;

 private:
  std::string bytes_;
  std::vector<Mp4Box> boxes_;
};

struct ElstEntry {
  uint32_t segmentDuration = 0;
  uint32_t mediaTime = 0;
  uint32_t mediaRate = 0;  // integer and fraction parts as one u32
};

// Decoded content of one trak.
struct Mp4Track {
  uint32_t tkhdFlags = 0;
  uint32_t trackId = 0;
  uint32_t tkhdDuration = 0;
  uint16_t alternateGroup = 0;
  uint16_t volume = 0;
  uint32_t widthFixed = 0;   // 16.16
  uint32_t heightFixed = 0;
  bool hasEdts = false;
  std::vector<ElstEntry> elst;
  uint32_t timescale = 0;
  uint32_t mediaDuration = 0;
  uint16_t language = 0;
  std::string handlerType;
  std::string handlerName;  // up to (excluding) the terminating zero
  uint32_t handlerNameBytes = 0;  // bytes after the reserved fields, zero included
  std::string sampleEntryType;  // "avc1" or "mp4a"
  std::vector<std::pair<uint32_t, uint32_t>> stts;  // (count, delta)
  bool hasStss = false;
  std::vector<uint32_t> stss;
  std::vector<uint32_t> stsc;  // raw u32 fields after the entry count
  std::vector<uint32_t> sizes;
  std::vector<uint64_t> offsets;

  // stts expanded to one duration per sample.
  std::vector<uint32_t> Durations() const;
};

// False with a reason when a required box or field is missing.
bool ReadTrack(const Mp4File& file, const Mp4Box& trak, Mp4Track* out, std::string* error);

// Fields of an `mp4a` sample entry and its `esds`.
struct Mp4AudioEntry {
  uint16_t channels = 0;
  uint16_t sampleSize = 0;
  uint32_t sampleRateFixed = 0;
  uint16_t esId = 0;
  uint8_t objectType = 0;
  uint8_t streamType = 0;
  uint32_t bufferSizeDB = 0;
  uint32_t maxBitrate = 0;
  uint32_t avgBitrate = 0;
  std::vector<uint8_t> decoderSpecificInfo;
  std::vector<uint8_t> slConfig;
};
bool ReadAudioEntry(const Mp4File& file, const Mp4Box& trak, Mp4AudioEntry* out, std::string* error);

// Fields of an `avc1` sample entry with its `avcC` and `colr`.
struct Mp4VideoEntry {
  uint16_t width = 0;
  uint16_t height = 0;
  std::string compressorName;  // from the 32-byte field's length byte
  uint16_t depth = 0;
  std::vector<uint8_t> avcC;  // content after the box header
  std::vector<uint8_t> sps;
  std::vector<uint8_t> pps;
  std::vector<uint8_t> avcCTail;  // bytes after the PPS
  std::vector<uint8_t> colr;      // content after the box header
};
bool ReadVideoEntry(const Mp4File& file, const Mp4Box& trak, Mp4VideoEntry* out, std::string* error);

}  // namespace kp::test
