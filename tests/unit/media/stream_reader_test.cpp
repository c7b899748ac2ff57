// The elementary-stream readers behind the mux tool: H.264 parameter sets,
// slice headers and access units, and ADTS framing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/adts_reader.h"
#include "video/h264_stream_reader.h"
#include "video/rbsp_writer.h"

namespace kp {
namespace {

using Bytes = std::vector<uint8_t>;

// RBSP bits, then a NAL unit with emulation prevention bytes.
struct NalWriter : RbspWriter {
  std::vector<uint8_t> rbsp;
  NalWriter() : RbspWriter(rbsp) {}
  std::vector<uint8_t> Nal(uint8_t header) {
    TrailingBits();
    std::vector<uint8_t> nal{header};
    AppendEscaped(rbsp.data(), rbsp.size(), nal);
    return nal;
  }
};

struct Sps {
  uint32_t profile = 66, chroma = 1, pocType = 2, widthMbs = 1, heightUnits = 1;
  bool scalingList = false, frameMbsOnly = true;
  uint32_t crop[4] = {0, 0, 0, 0};  // left, right, top, bottom
};

Bytes MakeSps(const Sps& s) {
  NalWriter w;
  w.Bits(s.profile, 8);
  w.Bits(0, 8);
  w.Bits(40, 8);
  w.Ue(0);  // seq_parameter_set_id
  if (s.profile == 100 || s.profile == 244) {
    w.Ue(s.chroma);
    if (s.chroma == 3) w.Bits(0, 1);
    w.Ue(0);
    w.Ue(0);
    w.Bits(s.scalingList ? 1 : 0, 2);
    for (int i = 0; s.scalingList && i < (s.chroma != 3 ? 8 : 12); ++i) {
      w.Bits(i == 0 || i == 6, 1);  // two lists present
      for (int j = 0; (i == 0 || i == 6) && j < (i < 6 ? 16 : 64); ++j) w.Se(j % 3 - 1);
    }
  }
  w.Ue(0);  // log2_max_frame_num_minus4
  w.Ue(s.pocType);
  if (s.pocType == 0) w.Ue(2);
  if (s.pocType == 1) {  // long runs of zero bits: needs emulation prevention
    w.Bits(0, 1);
    w.Se(-(1 << 26));
    w.Se(1 << 26);
    w.Ue(2);
    w.Se(1 << 27);
    w.Se(-3);
  }
  w.Ue(1);  // max_num_ref_frames
  w.Bits(0, 1);
  w.Ue(s.widthMbs - 1);
  w.Ue(s.heightUnits - 1);
  w.Bits(s.frameMbsOnly ? 3 : 1, s.frameMbsOnly ? 2 : 3);  // then direct_8x8_inference_flag
  const bool cropping = s.crop[0] || s.crop[1] || s.crop[2] || s.crop[3];
  w.Bits(cropping, 1);
  for (int i = 0; cropping && i < 4; ++i) w.Ue(s.crop[i]);
  w.Bits(0, 1);  // vui_parameters_present_flag
  return w.Nal(0x67);
}

TEST(H264SpsTest, PictureSizeAfterCropping) {
  struct Case {
    const char* name;
    Sps sps;
    uint32_t width, height;
  };
  const Case cases[] = {
      {"1080p baseline", {.widthMbs = 120, .heightUnits = 68, .crop = {0, 0, 0, 4}}, 1920, 1080},
      {"1366x768 high with scaling lists",
       {.profile = 100, .pocType = 0, .widthMbs = 86, .heightUnits = 48, .scalingList = true, .crop = {0, 5, 0, 0}},
       1366, 768},
      {"1080i fields", {.widthMbs = 120, .heightUnits = 34, .frameMbsOnly = false, .crop = {0, 0, 0, 2}}, 1920, 1080},
      {"4:4:4 crops in whole pixels", {.profile = 244, .chroma = 3, .widthMbs = 2, .heightUnits = 2, .crop = {1, 2, 3, 4}},
       29, 25},
      {"4:2:2 crops two across, one down", {.profile = 100, .chroma = 2, .widthMbs = 2, .heightUnits = 2, .crop = {1, 0, 1, 1}},
       30, 30},
      {"poc type 1 with escaped bytes", {.pocType = 1, .widthMbs = 80, .heightUnits = 45}, 1280, 720},
  };
  for (const Case& c : cases) {
    H264SpsFields fields;
    ASSERT_TRUE(ParseSps(MakeSps(c.sps), &fields)) << c.name;
    EXPECT_EQ(fields.profileIdc, c.sps.profile) << c.name;
    EXPECT_EQ(fields.levelIdc, 40u) << c.name;
    EXPECT_EQ(fields.width, c.width) << c.name;
    EXPECT_EQ(fields.height, c.height) << c.name;
  }
}

TEST(H264SpsTest, RejectsBrokenUnits) {
  const Bytes good = MakeSps({.widthMbs = 4, .heightUnits = 4});
  H264SpsFields fields;
  for (size_t n = 0; n + 1 < good.size(); ++n) {  // cut short: no read past the end
    EXPECT_FALSE(ParseSps(Bytes(good.begin(), good.begin() + n), &fields)) << n;
  }
  Bytes notSps = good;
  notSps[0] = 0x68;
  EXPECT_FALSE(ParseSps(notSps, &fields));
  EXPECT_FALSE(ParseSps(MakeSps({.crop = {4, 4, 0, 0}}), &fields));  // crops the whole picture
}

Bytes Slice(uint8_t type, uint32_t firstMb, uint32_t sliceType) {
  NalWriter w;
  w.Ue(firstMb);
  w.Ue(sliceType);
  w.Ue(0);  // pic_parameter_set_id
  w.Bits(0x5A5A, 16);
  return w.Nal(static_cast<uint8_t>((type == 5 ? 0x60 : 0x40) | type));
}

void Append(Bytes& stream, const Bytes& nal, bool longStartCode = false) {
  if (longStartCode) stream.push_back(0);
  stream.insert(stream.end(), {0, 0, 1});
  stream.insert(stream.end(), nal.begin(), nal.end());
}

// A new unit at a delimiter, at a slice with first_mb 0, and at SEI or a
// parameter set after a slice.
TEST(H264AccessUnitTest, SplitsAtDelimitersFirstSlicesAndParameterSets) {
  const Bytes sei{0x06, 0x05, 0x01, 0xAA, 0x80};
  Bytes stream;
  Append(stream, {0x09, 0xF0}, true);
  Append(stream, MakeSps({.widthMbs = 2, .heightUnits = 2}));
  Append(stream, {0x68, 0xCE, 0x38, 0x80});
  Append(stream, sei);
  Append(stream, Slice(5, 0, 7));
  Append(stream, Slice(5, 396, 7));  // second slice of the same picture
  Append(stream, Slice(1, 0, 5), true);
  Append(stream, sei);
  Append(stream, Slice(1, 0, 5));
  Append(stream, Slice(1, 0, 6));  // a B slice
  Append(stream, Slice(1, 3, 5));
  Append(stream, {0x41, 0x80});  // unreadable: flagged, not guessed
  Append(stream, Slice(1, 0, 10));  // no such slice type: flagged too

  const std::vector<H264AccessUnit> units = SplitAccessUnits(stream);
  ASSERT_EQ(units.size(), 4u);
  const std::tuple<size_t, bool, bool, bool> expected[] = {
      {6, true, false, false}, {1, false, false, false}, {2, false, false, false}, {4, false, true, true}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(std::tuple(units[i].nals.size(), units[i].idr, units[i].bSlice, units[i].badSlice), expected[i]) << i;
  }
  // A unit's bytes are its own stretch of the stream, start code included.
  EXPECT_EQ(units[0].bytes.data(), stream.data() + 1);
  EXPECT_EQ(units[1].bytes.data(), units[0].bytes.data() + units[0].bytes.size() + 1);
  EXPECT_EQ(units[3].bytes.data() + units[3].bytes.size(), stream.data() + stream.size());
}

Bytes Adts(uint32_t rateIndex, uint32_t channels, size_t payload, bool crc = false, uint32_t rawBlocks = 0) {
  const size_t length = (crc ? 9 : 7) + payload;
  Bytes f(length, 0x11);
  f[0] = 0xFF;
  f[1] = static_cast<uint8_t>(0xF0 | (crc ? 0 : 1));
  f[2] = static_cast<uint8_t>((1 << 6) | (rateIndex << 2) | (channels >> 2));  // AAC LC
  f[3] = static_cast<uint8_t>(((channels & 3) << 6) | (length >> 11));
  f[4] = static_cast<uint8_t>(length >> 3);
  f[5] = static_cast<uint8_t>(((length & 7) << 5) | 0x1F);
  f[6] = static_cast<uint8_t>(0xFC | rawBlocks);
  return f;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(AdtsReaderTest, ReadsFramesAndTrackDescription) {
  struct Case {
    Bytes data;
    uint32_t rate, channels;
    Bytes asc;
    std::vector<size_t> sizes;
    size_t header;
  };
  const Case cases[] = {
      {Concat({Adts(3, 2, 300), Adts(3, 2, 5)}), 48000, 2, {0x11, 0x90}, {300, 5}, 7},
      {Adts(4, 1, 10, true), 44100, 1, {0x12, 0x08}, {10}, 9},
      {Adts(3, 7, 2000), 48000, 8, {0x11, 0xB8}, {2000}, 7},
      {Adts(0, 2, 10), 96000, 2, {0x10, 0x10}, {10}, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate * 10 + c.channels);
    AdtsStream stream;
    std::string error;
    ASSERT_TRUE(ReadAdtsStream(c.data, &stream, &error)) << error;
    EXPECT_EQ(std::tuple(stream.sampleRate, stream.channels, stream.audioSpecificConfig),
              std::tuple(c.rate, c.channels, c.asc));
    ASSERT_EQ(stream.frames.size(), c.sizes.size());
    size_t at = 0;  // the frames are the payloads, views into the input
    for (size_t i = 0; i < c.sizes.size(); ++i) {
      EXPECT_EQ(stream.frames[i].data(), c.data.data() + at + c.header);
      EXPECT_EQ(stream.frames[i].size(), c.sizes[i]);
      at += c.header + c.sizes[i];
    }
  }
}

TEST(AdtsReaderTest, RefusesBrokenStreams) {
  const Bytes ok = Adts(3, 2, 20);
  Bytes truncated = Concat({ok, ok});
  truncated.pop_back();
  const std::pair<const char*, Bytes> cases[] = {
      {"empty", {}},
      {"garbage first", Concat({{0x00}, ok})},
      {"truncated", truncated},
      {"several raw blocks", Adts(3, 2, 20, false, 1)},
      {"explicit channel configuration", Adts(3, 0, 20)},
      {"reserved rate", Adts(13, 2, 20)},
      {"rate changes", Concat({ok, Adts(4, 2, 20)})},
      {"length shorter than the header", {0xFF, 0xF1, 0x4C, 0x80, 0x00, 0xDF, 0xFC}},
  };
  for (const auto& [name, data] : cases) {
    AdtsStream stream;
    std::string error;
    EXPECT_FALSE(ReadAdtsStream(data, &stream, &error)) << name;
    EXPECT_FALSE(error.empty()) << name;
  }
}

}  // namespace
}  // namespace kp
