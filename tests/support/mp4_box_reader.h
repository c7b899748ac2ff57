// A strict, independent reader of the MP4 files our writer produces, for
// tests: every child box must fit its parent exactly, every field with one
// allowed value (reserved zeros, the identity matrix, language "und", one
// chunk per sample, the fixed media header and data reference...) must hold
// it, and the fields of each box must fill it exactly.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kp::test {

using Mp4Fields = std::map<std::string, uint64_t>;

struct Mp4Box {
  std::string type;
  uint64_t offset = 0;      // of the box's first byte in the file
  uint64_t size = 0;        // of the whole box, header included
  uint32_t headerSize = 0;  // 8, or 16 with a 64-bit size
  std::vector<Mp4Box> children;

  uint64_t payloadOffset() const { return offset + headerSize; }
  const Mp4Box* Find(std::string_view path) const;  // "mdia/minf/stbl"
  std::vector<std::string> ChildTypes() const;
};

class Mp4File {
 public:
  // With `headerOnly`, a top-level `mdat` may extend beyond the data (for
  // headers built without their payload). False with a reason when broken.
  bool Parse(std::string bytes, std::string* error, bool headerOnly = false);
  const std::string& bytes() const { return bytes_; }
  const Mp4Box& root() const { return root_; }
  const Mp4Box* Find(std::string_view path) const { return root_.Find(path); }  // "moov/mvhd"
  std::vector<const Mp4Box*> Traks() const;
  std::string Raw(const Mp4Box& box) const { return bytes_.substr(box.offset, box.size); }

 private:
  std::string bytes_;
  Mp4Box root_;
};

// `mvhd`: timescale, duration, nextTrackId.
bool ReadMovie(const Mp4File& file, Mp4Fields* out, std::string* error);

// One trak. `fields`: from tkhd flags, trackId, tkhdDuration, group, volume,
// width and height (16.16); from mdhd timescale, mediaDuration; from avc1
// avcWidth, avcHeight; from mp4a channels, sampleRate (16.16); from esds
// esId, bufferSizeDB, maxBitrate, avgBitrate.
struct Mp4Track {
  Mp4Fields fields;
  uint64_t operator[](const std::string& name) const { return fields.at(name); }
  std::string handlerType;
  std::string handlerName;
  std::string compressorName;  // avc1's, from the 32-byte field's length byte
  std::vector<uint8_t> avcC, colr, decoderSpecificInfo;  // box contents after the header
  std::vector<std::string> stblTypes;
  std::vector<uint64_t> elst;  // (segment duration, media time, rate) per entry; empty without edts
  std::vector<uint64_t> stts;  // (count, delta) per entry
  std::vector<uint64_t> stss;  // empty without stss
  std::vector<uint64_t> sizes;
  std::vector<uint64_t> offsets;

  std::vector<uint64_t> Durations() const;  // one per sample
};
bool ReadTrack(const Mp4File& file, const Mp4Box& trak, Mp4Track* out, std::string* error);

// The whole file: its boxes, mvhd and every trak in order. A failure
// carries the reason.
struct Mp4Parsed {
  Mp4File file;
  Mp4Fields movie;
  std::vector<Mp4Track> tracks;
};
::testing::AssertionResult ParseMp4(std::string bytes, Mp4Parsed* out, bool headerOnly = false);
// The file at `path`.
::testing::AssertionResult ReadMp4(const std::wstring& path, Mp4Parsed* out);

}  // namespace kp::test
