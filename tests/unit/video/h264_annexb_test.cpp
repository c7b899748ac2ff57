#include "video/h264_annexb.h"

#include <gtest/gtest.h>

namespace kp {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(AnnexBTest, SplitsUnitsAndTrimsTrailingZeros) {
  struct Case {
    const char* name;
    Bytes stream;
    std::vector<Bytes> units;
  };
  const Case cases[] = {
      {"shorter than a start code", {0, 1}, {}},
      {"bare start code", {0, 0, 1}, {}},
      {"one byte after the code runs to the end", {0, 0, 1, 0x65}, {{0x65}}},
      {"garbage before the first code is ignored", {0x12, 0x34, 0, 0, 1, 0x41, 0x9A}, {{0x41, 0x9A}}},
      {"four-byte codes lose their leading zero, padding is trimmed",
       {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE, 0, 0}, {{0x67, 0x42}, {0x68, 0xCE}}},
      {"back-to-back codes give an empty unit", {0, 0, 1, 0, 0, 1, 0x41, 0x01}, {{0x41, 0x01}}},
      {"emulation prevention bytes are not codes", {0, 0, 1, 0x65, 0, 0, 0x03, 0x01}, {{0x65, 0, 0, 0x03, 0x01}}},
      {"01 right after one zero is data", {0, 0, 1, 0x41, 0x00, 0x01, 0x02}, {{0x41, 0x00, 0x01, 0x02}}},
  };
  for (const Case& c : cases) {
    std::vector<Bytes> units;
    for (std::span<const uint8_t> unit : SplitAnnexB(c.stream)) units.emplace_back(unit.begin(), unit.end());
    EXPECT_EQ(units, c.units) << c.name;
  }
}

TEST(AnnexBTest, LengthPrefixedPayloadDropsParameterSetsAndDelimiters) {
  // AUD, SPS (nal_ref_idc 1: 0x27), PPS, SEI, then a slice longer than 16 bits.
  Bytes stream = {0, 0, 1, 0x09, 0x10, 0, 0, 1, 0x27, 0x42, 0, 0, 1, 0x68, 0xCE,  //
                  0, 0, 1, 0x06, 0x05, 0, 0, 1, 0x41};
  stream.resize(stream.size() + 0x012344, 0x5A);
  Bytes out = {0xEE};
  AppendLengthPrefixed(stream, out);
  ASSERT_EQ(out.size(), 1u + 4 + 2 + 4 + 0x012345);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 13),
            (Bytes{0xEE, 0, 0, 0, 2, 0x06, 0x05, 0x00, 0x01, 0x23, 0x45, 0x41, 0x5A}));
  EXPECT_EQ(out.back(), 0x5A);
}

TEST(AnnexBTest, ExtractsTheFirstParameterSets) {
  Bytes sps = {0xAA};
  Bytes pps = {0xBB};
  const Bytes stream = {0, 0, 1, 0x67, 0x64, 0, 0, 1, 0x68, 0xEE, 0, 0, 1, 0x67, 0x4D, 0, 0, 1, 0x68, 0x11};
  EXPECT_TRUE(ExtractParameterSets(stream, sps, pps));
  EXPECT_EQ(sps, (Bytes{0x67, 0x64}));
  EXPECT_EQ(pps, (Bytes{0x68, 0xEE}));
  // Only a PPS: it is taken, the SPS kept, and the stream did not hold both.
  EXPECT_FALSE(ExtractParameterSets(Bytes{0, 0, 1, 0x68, 0x01}, sps, pps));
  EXPECT_EQ(sps, (Bytes{0x67, 0x64}));
  EXPECT_EQ(pps, (Bytes{0x68, 0x01}));
}

}  // namespace
}  // namespace kp
