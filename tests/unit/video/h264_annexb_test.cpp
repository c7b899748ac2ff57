#include "video/h264_annexb.h"

#include <gtest/gtest.h>

#include <string>

namespace kp {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> Units(const Bytes& stream) {
  std::vector<Bytes> units;
  for (std::span<const uint8_t> unit : SplitAnnexB(stream)) units.emplace_back(unit.begin(), unit.end());
  return units;
}

Bytes Converted(const Bytes& stream) {
  Bytes out;
  AppendLengthPrefixed(stream, out);
  return out;
}

TEST(AnnexBTest, SplitsUnitsAndTrimsTrailingZeros) {
  struct Case {
    const char* name;
    Bytes stream;
    std::vector<Bytes> units;
  };
  const Case cases[] = {
      {"empty", {}, {}},
      {"shorter than a start code", {0, 1}, {}},
      {"no start code", {0x65, 0x88, 0x84, 0x00, 0x00, 0x02}, {}},
      {"bare start code", {0, 0, 1}, {}},
      {"one byte after the code runs to the end", {0, 0, 1, 0x65}, {{0x65}}},
      {"two bytes after the code", {0, 0, 1, 0x65, 0x01}, {{0x65, 0x01}}},
      {"garbage before the first code is ignored", {0x12, 0x34, 0, 0, 1, 0x41, 0x9A}, {{0x41, 0x9A}}},
      {"four-byte codes lose their leading zero", {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE},
       {{0x67, 0x42}, {0x68, 0xCE}}},
      {"trailing padding trimmed", {0, 0, 1, 0x65, 0x11, 0x00, 0x00, 0x00}, {{0x65, 0x11}}},
      {"unit of zeros is empty and skipped", {0, 0, 1, 0x00, 0x00, 0, 0, 1, 0x41}, {{0x41}}},
      {"back-to-back codes give an empty unit", {0, 0, 1, 0, 0, 1, 0x41, 0x01}, {{0x41, 0x01}}},
      {"emulation prevention bytes are not codes", {0, 0, 1, 0x65, 0x00, 0x00, 0x03, 0x01, 0x7F},
       {{0x65, 0x00, 0x00, 0x03, 0x01, 0x7F}}},
      {"01 right after one zero is data", {0, 0, 1, 0x41, 0x00, 0x01, 0x02}, {{0x41, 0x00, 0x01, 0x02}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Units(c.stream), c.units) << c.name;
  }
}

// A typical hardware IDR output: AUD, SPS, PPS, SEI and two slices.
Bytes IdrAccessUnit(bool fourByteCodes) {
  const Bytes code = fourByteCodes ? Bytes{0, 0, 0, 1} : Bytes{0, 0, 1};
  const std::vector<Bytes> units = {
      {0x09, 0x10},                    // access unit delimiter
      {0x67, 0x64, 0x00, 0x28, 0xAC},  // SPS
      {0x68, 0xEE, 0x3C, 0x80},        // PPS
      {0x06, 0x05, 0x01, 0x80},        // SEI
      {0x65, 0x88, 0x80, 0x40},        // IDR slice
      {0x65, 0x00, 0x40},              // second slice of the same picture
  };
  Bytes stream;
  for (const Bytes& unit : units) {
    stream.insert(stream.end(), code.begin(), code.end());
    stream.insert(stream.end(), unit.begin(), unit.end());
  }
  return stream;
}

TEST(AnnexBTest, LengthPrefixedPayloadDropsParameterSetsAndDelimiters) {
  const Bytes expected = {0, 0, 0, 4, 0x06, 0x05, 0x01, 0x80,  //
                          0, 0, 0, 4, 0x65, 0x88, 0x80, 0x40,  //
                          0, 0, 0, 3, 0x65, 0x00, 0x40};
  EXPECT_EQ(Converted(IdrAccessUnit(false)), expected);
  // The four-byte form gives the same packet.
  EXPECT_EQ(Converted(IdrAccessUnit(true)), expected);
}

TEST(AnnexBTest, AppendsAfterExistingBytesWithLargeLengths) {
  Bytes stream = {0, 0, 1, 0x41};
  stream.resize(4 + 0x012345, 0x5A);  // a unit longer than 16 bits
  Bytes out = {0xEE};
  AppendLengthPrefixed(stream, out);
  ASSERT_EQ(out.size(), 1u + 4 + 1 + 0x012345);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), (Bytes{0xEE, 0x00, 0x01, 0x23, 0x46, 0x41}));
  EXPECT_EQ(out.back(), 0x5A);
}

TEST(AnnexBTest, OnlyParameterSetsGiveAnEmptyPayload) {
  const Bytes stream = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x09, 0xF0};
  EXPECT_TRUE(Converted(stream).empty());
}

TEST(AnnexBTest, NalTypeIgnoresNalRefIdc) {
  // nal_ref_idc sits in bits 5-6; 0x27 and 0x67 are both SPS.
  const Bytes stream = {0, 0, 1, 0x27, 0x42, 0, 0, 1, 0x28, 0xCE, 0, 0, 1, 0x25, 0x01};
  EXPECT_EQ(Converted(stream), (Bytes{0, 0, 0, 2, 0x25, 0x01}));
}

TEST(AnnexBTest, ExtractsTheFirstParameterSets) {
  Bytes sps = {0xAA};
  Bytes pps = {0xBB};
  Bytes stream = IdrAccessUnit(true);
  // A second, different SPS later in the stream is not taken.
  const Bytes later = {0, 0, 1, 0x67, 0x4D, 0x00, 0x1F, 0, 0};
  stream.insert(stream.end(), later.begin(), later.end());
  EXPECT_TRUE(ExtractParameterSets(stream, sps, pps));
  EXPECT_EQ(sps, (Bytes{0x67, 0x64, 0x00, 0x28, 0xAC}));
  EXPECT_EQ(pps, (Bytes{0x68, 0xEE, 0x3C, 0x80}));

  // A stream with only a PPS updates the PPS and keeps the SPS.
  Bytes keptSps = {0xAA};
  Bytes newPps;
  EXPECT_FALSE(ExtractParameterSets(Bytes{0, 0, 1, 0x68, 0x01, 0x02, 0x00}, keptSps, newPps));
  EXPECT_EQ(keptSps, (Bytes{0xAA}));
  EXPECT_EQ(newPps, (Bytes{0x68, 0x01, 0x02}));
}

}  // namespace
}  // namespace kp
