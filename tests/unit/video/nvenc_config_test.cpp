#include "video/nvenc_config.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/log_capture.h"

namespace kp {
namespace {

// Reads a value at a byte offset, independently of our member names, so the
// tests check the binary layout the driver sees.
template <typename T, typename S>
T At(const S& structure, size_t offset) {
  T value;
  std::memcpy(&value, reinterpret_cast<const uint8_t*>(&structure) + offset, sizeof value);
  return value;
}

TEST(NvencApiTest, VersionWordsOfApi13_1) {
  EXPECT_EQ(nvenc::kApiVersion, 0x0100000Du);
  EXPECT_EQ(nvenc::kMinDriverVersion, 209u);
  // The values the 13.1 interface defines, in decimal as published.
  EXPECT_EQ(nvenc::kOpenSessionParamsVersion, 1895890957u);
  EXPECT_EQ(nvenc::kPresetConfigVersion, 4043636749u);
  EXPECT_EQ(nvenc::kConfigVersion, 4043898893u);
  EXPECT_EQ(nvenc::kRcParamsVersion, 1895890957u);
  EXPECT_EQ(nvenc::kInitializeParamsVersion, 4043767821u);
  EXPECT_EQ(nvenc::kRegisterResourceVersion, 1896153101u);
  EXPECT_EQ(nvenc::kCreateBitstreamBufferVersion, 1895890957u);
  EXPECT_EQ(nvenc::kSequenceParamPayloadVersion, 1895890957u);
  EXPECT_EQ(nvenc::kMapInputResourceVersion, 1896087565u);
  EXPECT_EQ(nvenc::kPicParamsVersion, 4043767821u);
  EXPECT_EQ(nvenc::kLockBitstreamVersion, 4043440141u);
  EXPECT_EQ(nvenc::kFunctionListVersion, 1895956493u);
}

TEST(NvencConfigTest, DriverVersionGate) {
  test::LogCapture log;
  EXPECT_FALSE(CheckNvencDriverVersion(208));
  EXPECT_FALSE(CheckNvencDriverVersion(0xC2));  // 12.2
  EXPECT_TRUE(CheckNvencDriverVersion(209));
  EXPECT_TRUE(CheckNvencDriverVersion(0xE0));  // 14.0
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                             "nvenc: driver supports API 13.0 but 13.1 is required \xE2\x80\x94 "
                             "update the NVIDIA driver",
                             "nvenc: driver supports API 12.2 but 13.1 is required \xE2\x80\x94 "
                             "update the NVIDIA driver",
                         }));
}

TEST(NvencConfigTest, PresetIsClampedToP1ThroughP7) {
  struct Case {
    uint32_t preset, level;
    uint32_t guidData1;
  };
  const Case cases[] = {{0, 1, 0xfc0a8d3e}, {1, 1, 0xfc0a8d3e}, {2, 2, 0xf581cfb8}, {4, 4, 0x90a7b826},
                        {6, 6, 0x8e75c279}, {7, 7, 0x84848c12}, {9, 7, 0x84848c12}, {0xFFFFFFFF, 7, 0x84848c12}};
  for (const Case& c : cases) {
    EXPECT_EQ(NvencPresetLevel(c.preset), c.level) << c.preset;
    EXPECT_EQ(NvencPresetGuid(c.preset).data1, c.guidData1) << c.preset;
  }
}

// A preset configuration as a driver might return it: B-frames, look-ahead,
// a long GOP, and values in members the program must leave alone.
nvenc::Config PresetLikeConfig() {
  auto config = nvenc::Zeroed<nvenc::Config>();
  config.version = nvenc::kConfigVersion;
  config.gopLength = 250;
  config.frameIntervalP = 3;
  config.frameFieldMode = 1;
  config.mvPrecision = 3;
  config.rcParams.version = nvenc::kRcParamsVersion;
  config.rcParams.rateControlMode = 0;
  config.rcParams.averageBitRate = 5'000'000;
  config.rcParams.flags = nvenc::kRcFlagEnableLookahead | 0x4 | 0x5000;  // + initial QP, AQ strength 5
  config.rcParams.lookaheadDepth = 16;
  config.rcParams.targetQuality = 33;
  config.rcParams.targetQualityLsb = 128;
  config.rcParams.multiPass = 2;
  config.h264.flags = 0x40;  // AUD output
  config.h264.level = 51;
  config.h264.idrPeriod = 250;
  config.h264.presetFields1[12] = 4;  // maxNumRefFrames
  config.h264.vui.videoFullRangeFlag = 1;
  config.h264.vui.timingInfoPresentFlag = 1;
  return config;
}

TEST(NvencConfigTest, ConstantQualityChangesOnlyOurMembers) {
  EncoderConfig settings;
  settings.width = 1920;
  settings.height = 1080;
  settings.fps = 30;
  settings.keyframeSeconds = 3;
  settings.quality = 60;
  DeriveBitrates(settings);
  nvenc::Config config = PresetLikeConfig();
  ApplyNvencSettings(config, settings);

  EXPECT_EQ(At<uint32_t>(config, 0), nvenc::kConfigVersion);
  EXPECT_EQ(At<nvenc::Guid>(config, 4), nvenc::kH264ProfileHighGuid);
  EXPECT_EQ(At<uint32_t>(config, 20), 90u) << "GOP = fps * keyframe seconds";
  EXPECT_EQ(At<int32_t>(config, 24), 1) << "no B-frames";
  EXPECT_EQ(At<uint32_t>(config, 44), nvenc::kRateControlVbr);
  EXPECT_EQ(At<uint32_t>(config, 60), 0u) << "no average in quality mode";
  EXPECT_EQ(At<uint32_t>(config, 64), 1920u * 1080 * 30 * 16 / 100);
  EXPECT_EQ(At<uint32_t>(config, 76), 0x4u | 0x5000 | 0x8) << "AQ on, look-ahead off, the rest kept";
  EXPECT_EQ(At<uint8_t>(config, 128), 51) << "quality above 51 is sent as 51";
  EXPECT_EQ(At<uint8_t>(config, 129), 0);
  EXPECT_EQ(At<uint16_t>(config, 130), 0);
  EXPECT_EQ(At<uint32_t>(config, 168), 0x40u | 0x1000) << "SPS/PPS with every IDR";
  EXPECT_EQ(At<uint32_t>(config, 176), 90u) << "IDR period = GOP";
  EXPECT_EQ(At<uint32_t>(config, 360), 1u) << "4:2:0";
  EXPECT_EQ(At<uint32_t>(config, 248), 1u);
  EXPECT_EQ(At<uint32_t>(config, 252), 5u);
  EXPECT_EQ(At<uint32_t>(config, 260), 1u);
  EXPECT_EQ(At<uint32_t>(config, 264), 1u);
  EXPECT_EQ(At<uint32_t>(config, 268), 1u);
  EXPECT_EQ(At<uint32_t>(config, 272), 1u);

  // Kept from the preset.
  EXPECT_EQ(config.frameFieldMode, 1u);
  EXPECT_EQ(config.mvPrecision, 3u);
  EXPECT_EQ(config.rcParams.version, nvenc::kRcParamsVersion);
  EXPECT_EQ(config.rcParams.multiPass, 2u);
  EXPECT_EQ(config.h264.level, 51u);
  EXPECT_EQ(config.h264.presetFields1[12], 4u);
  EXPECT_EQ(At<uint32_t>(config, 256), 1u) << "full-range flag stays as the preset has it";
  EXPECT_EQ(config.h264.vui.timingInfoPresentFlag, 1u);
}

TEST(NvencConfigTest, VbrSetsAverageAndPeakAndKeepsTargetQuality) {
  EncoderConfig settings;
  settings.width = 1280;
  settings.height = 720;
  settings.fps = 60;
  settings.rateControl = RateControl::Vbr;
  settings.averageBitrate = 8'000'000;
  DeriveBitrates(settings);
  nvenc::Config config = PresetLikeConfig();
  ApplyNvencSettings(config, settings);
  EXPECT_EQ(config.gopLength, 120u);
  EXPECT_EQ(config.rcParams.rateControlMode, nvenc::kRateControlVbr);
  EXPECT_EQ(config.rcParams.averageBitRate, 8'000'000u);
  EXPECT_EQ(config.rcParams.maxBitRate, 12'000'000u);
  EXPECT_EQ(config.rcParams.targetQuality, 33) << "target quality belongs to the quality mode only";
  EXPECT_EQ(config.rcParams.targetQualityLsb, 128);
}

TEST(NvencConfigTest, ParameterSetsFromTheSequenceHeader) {
  const uint8_t good[] = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x2A, 0xAC, 0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0x80};
  const uint8_t shortSps[] = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0, 0, 0, 1, 0x68, 0xEE};
  const uint8_t noPps[] = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x2A, 0xAC};
  test::LogCapture log;
  VideoTrackInfo track;
  EXPECT_TRUE(StoreNvencParameterSets(good, track));
  EXPECT_EQ(track.sps, (std::vector<uint8_t>{0x67, 0x64, 0x00, 0x2A, 0xAC}));
  EXPECT_EQ(track.pps, (std::vector<uint8_t>{0x68, 0xEE, 0x3C, 0x80}));
  EXPECT_TRUE(log.Lines().empty());
  VideoTrackInfo shortTrack;
  EXPECT_FALSE(StoreNvencParameterSets(shortSps, shortTrack));
  VideoTrackInfo noPpsTrack;
  EXPECT_FALSE(StoreNvencParameterSets(noPps, noPpsTrack));
  VideoTrackInfo emptyTrack;
  EXPECT_FALSE(StoreNvencParameterSets({}, emptyTrack));
  EXPECT_EQ(log.CountStartingWith("nvenc: SPS/PPS missing from sequence params"), 3);
}

TEST(NvencConfigTest, PacketFromLockedBitstream) {
  // An IDR access unit as the driver emits it with repeated parameter sets.
  const uint8_t bytes[] = {0, 0, 0, 1, 0x09, 0x10,                //
                           0, 0, 0, 1, 0x67, 0x64, 0x00, 0x2A,    //
                           0, 0, 0, 1, 0x68, 0xEE,                //
                           0, 0, 1, 0x06, 0x05, 0x01, 0x80,       // SEI stays
                           0, 0, 1, 0x65, 0xB8, 0x00, 0x04};
  auto lock = nvenc::Zeroed<nvenc::LockBitstream>();
  lock.bitstreamBufferPtr = const_cast<uint8_t*>(bytes);
  lock.bitstreamSizeInBytes = sizeof bytes;
  lock.outputTimeStamp = static_cast<uint64_t>(int64_t{-166'666});
  lock.pictureType = nvenc::kPictureTypeIdr;
  const EncodedPacket idr = MakeNvencPacket(lock, 166'667);
  EXPECT_EQ(idr.pts, -166'666);
  EXPECT_EQ(idr.duration, 166'667);
  EXPECT_TRUE(idr.keyframe);
  EXPECT_EQ(idr.data, (std::vector<uint8_t>{0, 0, 0, 4, 0x06, 0x05, 0x01, 0x80, 0, 0, 0, 4, 0x65, 0xB8, 0x00, 0x04}));

  lock.pictureType = 2;  // an I picture is not an IDR
  lock.bitstreamSizeInBytes = 20;  // only the units the driver reported count
  const EncodedPacket intra = MakeNvencPacket(lock, 1);
  EXPECT_FALSE(intra.keyframe);
  EXPECT_TRUE(intra.data.empty());
}

TEST(NvencConfigTest, OpenedLine) {
  test::LogCapture log;
  EncoderConfig cq;
  cq.width = 1920;
  cq.height = 1080;
  cq.fps = 60;
  cq.quality = 60;
  cq.preset = 0;
  DeriveBitrates(cq);
  LogNvencOpened(cq);
  EncoderConfig vbr = cq;
  vbr.rateControl = RateControl::Vbr;
  vbr.maxBitrate = 0;
  vbr.preset = 9;
  vbr.keyframeSeconds = 4;
  DeriveBitrates(vbr);
  LogNvencOpened(vbr);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                             "nvenc: H.264 1920x1080@60 P0, constant quality CQ 60 (max 19.9 Mbps), keyframe every 2s",
                             "nvenc: H.264 1920x1080@60 P9, 16.2 Mbps VBR (max 24.3), keyframe every 4s",
                         }));
}

}  // namespace
}  // namespace kp
