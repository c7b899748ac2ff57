// The elementary-stream readers behind the mux tool: H.264 sequence
// parameter sets (picture size after cropping), slice headers, access-unit
// splitting, and ADTS framing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/adts_reader.h"
#include "video/h264_annexb.h"
#include "video/h264_stream_reader.h"

namespace kp {
namespace {

// Writes RBSP bits, then turns them into a NAL unit with emulation
// prevention bytes, as an encoder does.
class NalWriter {
 public:
  void Bits(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) bits_.push_back((value >> i) & 1);
  }
  void Ue(uint32_t v) {
    const uint64_t x = uint64_t{v} + 1;
    int len = 0;
    while ((x >> len) > 1) ++len;
    Bits(0, len);
    Bits(static_cast<uint32_t>(x), len + 1);
  }
  void Se(int32_t v) { Ue(v > 0 ? 2 * static_cast<uint32_t>(v) - 1 : 2 * static_cast<uint32_t>(-v)); }

  std::vector<uint8_t> Nal(uint8_t header) {
    std::vector<bool> b = bits_;
    b.push_back(true);  // rbsp_stop_one_bit
    while (b.size() % 8 != 0) b.push_back(false);
    std::vector<uint8_t> rbsp;
    for (size_t i = 0; i < b.size(); i += 8) {
      uint8_t v = 0;
      for (int j = 0; j < 8; ++j) v = static_cast<uint8_t>((v << 1) | b[i + j]);
      rbsp.push_back(v);
    }
    std::vector<uint8_t> nal{header};
    int zeros = 0;
    for (uint8_t v : rbsp) {
      if (zeros >= 2 && v <= 3) {
        nal.push_back(3);
        zeros = 0;
      }
      nal.push_back(v);
      zeros = v == 0 ? zeros + 1 : 0;
    }
    return nal;
  }

 private:
  std::vector<bool> bits_;
};

struct SpsCase {
  const char* name;
  uint32_t profile = 66;
  uint32_t chroma = 1;
  bool scalingList = false;
  uint32_t pocType = 2;
  uint32_t widthMbs = 1;
  uint32_t heightUnits = 1;
  bool frameMbsOnly = true;
  uint32_t crop[4] = {0, 0, 0, 0};  // left, right, top, bottom
  uint32_t expectedWidth = 0;
  uint32_t expectedHeight = 0;
};

std::vector<uint8_t> MakeSps(const SpsCase& s) {
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
    w.Bits(0, 1);
    w.Bits(s.scalingList ? 1 : 0, 1);
    if (s.scalingList) {
      for (int i = 0; i < (s.chroma != 3 ? 8 : 12); ++i) {
        const bool present = i == 0 || i == 6;
        w.Bits(present ? 1 : 0, 1);
        if (present) {
          for (int j = 0; j < (i < 6 ? 16 : 64); ++j) w.Se(j % 3 - 1);
        }
      }
    }
  }
  w.Ue(0);  // log2_max_frame_num_minus4
  w.Ue(s.pocType);
  if (s.pocType == 0) {
    w.Ue(2);
  } else if (s.pocType == 1) {
    w.Bits(0, 1);
    w.Se(-(1 << 26));  // long runs of zero bits: needs emulation prevention
    w.Se(1 << 26);
    w.Ue(2);
    w.Se(1 << 27);
    w.Se(-3);
  }
  w.Ue(1);  // max_num_ref_frames
  w.Bits(0, 1);
  w.Ue(s.widthMbs - 1);
  w.Ue(s.heightUnits - 1);
  w.Bits(s.frameMbsOnly ? 1 : 0, 1);
  if (!s.frameMbsOnly) w.Bits(0, 1);
  w.Bits(1, 1);  // direct_8x8_inference_flag
  const bool cropping = s.crop[0] || s.crop[1] || s.crop[2] || s.crop[3];
  w.Bits(cropping ? 1 : 0, 1);
  if (cropping) {
    for (uint32_t c : s.crop) w.Ue(c);
  }
  w.Bits(0, 1);  // vui_parameters_present_flag
  return w.Nal(0x67);
}

bool HasEmulationPrevention(const std::vector<uint8_t>& nal) {
  for (size_t i = 2; i < nal.size(); ++i) {
    if (nal[i - 2] == 0 && nal[i - 1] == 0 && nal[i] == 3) return true;
  }
  return false;
}

TEST(H264SpsTest, PictureSizeAfterCropping) {
  const SpsCase cases[] = {
      {.name = "1080p baseline", .widthMbs = 120, .heightUnits = 68, .crop = {0, 0, 0, 4},
       .expectedWidth = 1920, .expectedHeight = 1080},
      {.name = "1366x768 high with scaling lists", .profile = 100, .scalingList = true, .pocType = 0,
       .widthMbs = 86, .heightUnits = 48, .crop = {0, 5, 0, 0}, .expectedWidth = 1366, .expectedHeight = 768},
      {.name = "642x362 high", .profile = 100, .widthMbs = 41, .heightUnits = 23, .crop = {0, 7, 0, 3},
       .expectedWidth = 642, .expectedHeight = 362},
      {.name = "1080i fields", .widthMbs = 120, .heightUnits = 34, .frameMbsOnly = false, .crop = {0, 0, 0, 2},
       .expectedWidth = 1920, .expectedHeight = 1080},
      {.name = "4:4:4 crops in whole pixels", .profile = 244, .chroma = 3, .widthMbs = 2, .heightUnits = 2,
       .crop = {1, 2, 3, 4}, .expectedWidth = 29, .expectedHeight = 25},
      {.name = "4:2:2 crops two pixels across, one down", .profile = 100, .chroma = 2, .widthMbs = 2,
       .heightUnits = 2, .crop = {1, 0, 1, 1}, .expectedWidth = 30, .expectedHeight = 30},
      {.name = "poc type 1 with escaped bytes", .pocType = 1, .widthMbs = 80, .heightUnits = 45,
       .expectedWidth = 1280, .expectedHeight = 720},
  };
  for (const SpsCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> nal = MakeSps(c);
    if (c.pocType == 1) {
      ASSERT_TRUE(HasEmulationPrevention(nal));
    }
    H264SpsFields fields;
    ASSERT_TRUE(ParseSps(nal, &fields));
    EXPECT_EQ(fields.profileIdc, c.profile);
    EXPECT_EQ(fields.levelIdc, 40u);
    EXPECT_EQ(fields.width, c.expectedWidth);
    EXPECT_EQ(fields.height, c.expectedHeight);
  }
}

TEST(H264SpsTest, RejectsBrokenUnits) {
  const std::vector<uint8_t> good = MakeSps({.name = "", .widthMbs = 4, .heightUnits = 4});
  H264SpsFields fields;
  ASSERT_TRUE(ParseSps(good, &fields));
  // Cut short anywhere before the size fields: no read past the end.
  for (size_t n = 0; n + 1 < good.size(); ++n) {
    EXPECT_FALSE(ParseSps(std::vector<uint8_t>(good.begin(), good.begin() + n), &fields)) << n;
  }
  std::vector<uint8_t> notSps = good;
  notSps[0] = 0x68;
  EXPECT_FALSE(ParseSps(notSps, &fields));
  // A crop that removes the whole picture.
  EXPECT_FALSE(ParseSps(MakeSps({.name = "", .widthMbs = 1, .heightUnits = 1, .crop = {4, 4, 0, 0}}), &fields));
}

std::vector<uint8_t> Slice(uint8_t type, uint32_t firstMb, uint32_t sliceType) {
  NalWriter w;
  w.Ue(firstMb);
  w.Ue(sliceType);
  w.Ue(0);  // pic_parameter_set_id
  w.Bits(0x5A5A, 16);
  return w.Nal(static_cast<uint8_t>((type == 5 ? 0x60 : 0x40) | type));
}

TEST(H264SliceTest, ReadsFirstMbAndSliceType) {
  uint32_t firstMb = 99, sliceType = 99;
  ASSERT_TRUE(ParseSliceStart(Slice(5, 0, 7), &firstMb, &sliceType));
  EXPECT_EQ(firstMb, 0u);
  EXPECT_EQ(sliceType, 7u);
  EXPECT_FALSE(IsBSliceType(sliceType));
  ASSERT_TRUE(ParseSliceStart(Slice(1, 396, 6), &firstMb, &sliceType));
  EXPECT_EQ(firstMb, 396u);
  EXPECT_TRUE(IsBSliceType(sliceType));
  EXPECT_TRUE(IsBSliceType(1));
  EXPECT_FALSE(IsBSliceType(0));
  EXPECT_FALSE(ParseSliceStart(std::vector<uint8_t>{0x65}, &firstMb, &sliceType));
  EXPECT_FALSE(ParseSliceStart(MakeSps({.name = "", .widthMbs = 1, .heightUnits = 1}), &firstMb, &sliceType));
}

void Append(std::vector<uint8_t>& stream, const std::vector<uint8_t>& nal, bool longStartCode = false) {
  if (longStartCode) stream.push_back(0);
  stream.insert(stream.end(), {0, 0, 1});
  stream.insert(stream.end(), nal.begin(), nal.end());
}

TEST(H264AccessUnitTest, SplitsAtDelimitersFirstSlicesAndParameterSets) {
  const std::vector<uint8_t> aud{0x09, 0xF0};
  const std::vector<uint8_t> sps = MakeSps({.name = "", .widthMbs = 2, .heightUnits = 2});
  const std::vector<uint8_t> pps{0x68, 0xCE, 0x38, 0x80};
  const std::vector<uint8_t> sei{0x06, 0x05, 0x01, 0xAA, 0x80};
  std::vector<uint8_t> stream;
  Append(stream, aud, true);
  Append(stream, sps);
  Append(stream, pps);
  Append(stream, sei);
  Append(stream, Slice(5, 0, 7));
  Append(stream, Slice(5, 2, 7));  // second slice of the same picture
  Append(stream, Slice(1, 0, 5), true);
  Append(stream, sei);              // follows a slice: next picture
  Append(stream, Slice(1, 0, 5));
  Append(stream, Slice(1, 0, 6));   // a B slice
  Append(stream, Slice(1, 3, 5));

  const std::vector<H264AccessUnit> units = SplitAccessUnits(stream);
  ASSERT_EQ(units.size(), 4u);
  EXPECT_EQ(units[0].nals.size(), 6u);
  EXPECT_TRUE(units[0].idr);
  EXPECT_EQ(units[1].nals.size(), 1u);
  EXPECT_FALSE(units[1].idr);
  EXPECT_EQ(units[2].nals.size(), 2u);
  EXPECT_EQ(NalType(units[2].nals[0]), kNalSei);
  EXPECT_FALSE(units[2].bSlice);
  EXPECT_EQ(units[3].nals.size(), 2u);
  EXPECT_TRUE(units[3].bSlice);

  // A unit's bytes are its own stretch of the stream, start code included,
  // and convert to exactly its payload NAL units.
  EXPECT_EQ(units[0].bytes.data(), stream.data() + 1);
  EXPECT_EQ(units[3].bytes.data() + units[3].bytes.size(), stream.data() + stream.size());
  std::vector<uint8_t> payload, expected;
  AppendLengthPrefixed(units[0].bytes, payload);
  for (const std::vector<uint8_t>& nal : {sei, Slice(5, 0, 7), Slice(5, 2, 7)}) {
    expected.insert(expected.end(), {0, 0, 0, static_cast<uint8_t>(nal.size())});
    expected.insert(expected.end(), nal.begin(), nal.end());
  }
  EXPECT_EQ(payload, expected);

  // Unreadable slice headers are flagged, not guessed.
  std::vector<uint8_t> bad;
  Append(bad, std::vector<uint8_t>{0x41, 0x00});
  const std::vector<H264AccessUnit> badUnits = SplitAccessUnits(bad);
  ASSERT_EQ(badUnits.size(), 1u);
  EXPECT_TRUE(badUnits[0].badSlice);
}

// ---------------------------------------------------------------------------

std::vector<uint8_t> Adts(uint32_t profile, uint32_t rateIndex, uint32_t channels, size_t payload, bool crc,
                          uint32_t rawBlocks = 0, uint8_t fill = 0x11) {
  const size_t header = crc ? 9 : 7;
  const size_t length = header + payload;
  std::vector<uint8_t> f(length, fill);
  f[0] = 0xFF;
  f[1] = static_cast<uint8_t>(0xF0 | (crc ? 0 : 1));
  f[2] = static_cast<uint8_t>((profile << 6) | (rateIndex << 2) | (channels >> 2));
  f[3] = static_cast<uint8_t>(((channels & 3) << 6) | (length >> 11));
  f[4] = static_cast<uint8_t>(length >> 3);
  f[5] = static_cast<uint8_t>(((length & 7) << 5) | 0x1F);
  f[6] = static_cast<uint8_t>(0xFC | rawBlocks);
  if (crc) f[7] = f[8] = 0xEE;
  return f;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(AdtsReaderTest, ReadsFramesAndTrackDescription) {
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
    uint32_t rate, channels;
    std::vector<uint8_t> asc;
    std::vector<size_t> sizes;
    bool crc;
  };
  const Case cases[] = {
      {"48 kHz stereo LC", Concat({Adts(1, 3, 2, 300, false), Adts(1, 3, 2, 5, false, 0, 0x22)}), 48000, 2,
       {0x11, 0x90}, {300, 5}, false},
      {"44.1 kHz mono with CRC", Concat({Adts(1, 4, 1, 10, true)}), 44100, 1, {0x12, 0x08}, {10}, true},
      {"7.1 channels", Concat({Adts(1, 3, 7, 2000, false)}), 48000, 8, {0x11, 0xB8}, {2000}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AdtsStream stream;
    std::string error;
    ASSERT_TRUE(ReadAdtsStream(c.data, &stream, &error)) << error;
    EXPECT_EQ(stream.sampleRate, c.rate);
    EXPECT_EQ(stream.channels, c.channels);
    EXPECT_EQ(stream.audioSpecificConfig, c.asc);
    ASSERT_EQ(stream.frames.size(), c.sizes.size());
    size_t at = 0;  // the frames are the payloads, views into the input
    for (size_t i = 0; i < c.sizes.size(); ++i) {
      at += c.crc ? 9 : 7;
      EXPECT_EQ(stream.frames[i].data(), c.data.data() + at);
      EXPECT_EQ(stream.frames[i].size(), c.sizes[i]);
      at += c.sizes[i];
    }
  }
}

TEST(AdtsReaderTest, RefusesBrokenStreams) {
  const std::vector<uint8_t> ok = Adts(1, 3, 2, 20, false);
  std::vector<uint8_t> truncated = Concat({ok, ok});
  truncated.pop_back();
  const std::vector<std::pair<const char*, std::vector<uint8_t>>> cases = {
      {"empty", {}},
      {"garbage first", Concat({{0x00}, ok})},
      {"truncated", truncated},
      {"several raw blocks", Adts(1, 3, 2, 20, false, 1)},
      {"explicit channel configuration", Adts(1, 3, 0, 20, false)},
      {"reserved rate", Adts(1, 13, 2, 20, false)},
      {"rate changes", Concat({ok, Adts(1, 4, 2, 20, false)})},
      {"length shorter than the header", Concat({std::vector<uint8_t>{0xFF, 0xF1, 0x4C, 0x80, 0x00, 0xDF, 0xFC}})},
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
