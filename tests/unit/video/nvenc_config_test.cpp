#include "video/nvenc_config.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"

namespace kp {
namespace {

using Bytes = std::vector<uint8_t>;
using Words = std::vector<uint32_t>;

EncoderConfig Settings1080p(RateControl rateControl, uint32_t fps, uint32_t average = 0) {
  EncoderConfig settings;
  settings.width = 1920;
  settings.height = 1080;
  settings.fps = fps;
  settings.rateControl = rateControl;
  settings.averageBitrate = average;
  settings.quality = 60;
  DeriveBitrates(settings);
  return settings;
}

TEST(NvencConfigTest, DriverVersionGateAndPresetClamp) {
  test::LogCapture log;
  // 13.0 and every newer version are accepted; the API is asked for as 13.0.
  EXPECT_FALSE(CheckNvencDriverVersion(207));
  EXPECT_TRUE(CheckNvencDriverVersion(208));
  EXPECT_TRUE(CheckNvencDriverVersion(209));
  EXPECT_TRUE(CheckNvencDriverVersion(14 << 4));
  EXPECT_EQ((Words{nvenc::kApiVersion, nvenc::kOpenSessionParamsVersion, nvenc::kPresetConfigVersion}),
            (Words{0x0000000D, 0x7001000D, 0xF005000D}));
  // A GPU's size limits.
  EncoderConfig wide;
  wide.width = 4096;
  wide.height = 2304;
  EXPECT_TRUE(CheckNvencSize(wide, 4096, 4096));
  EXPECT_FALSE(CheckNvencSize(wide, 4096, 2048));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"nvenc: driver supports API 12.15 but 13.0 is required "
                                                   "\xE2\x80\x94 update the NVIDIA driver",
                                                   "nvenc: 4096x2304 is above this GPU's limit of 4096x2048"}));
  // Preset, level P1..P7, first word of the preset's GUID.
  const uint32_t cases[][3] = {{0, 1, 0xfc0a8d3e}, {1, 1, 0xfc0a8d3e}, {2, 2, 0xf581cfb8}, {7, 7, 0x84848c12},
                               {8, 7, 0x84848c12}};
  for (const auto& c : cases) {
    EXPECT_EQ(NvencPresetLevel(c[0]), c[1]) << c[0];
    EXPECT_EQ(NvencPresetGuid(c[0]).data1, c[2]) << c[0];
  }
}

// A preset configuration as a driver might return it: B-frames, look-ahead,
// a long GOP, and values in members the program must leave alone.
nvenc::Config PresetLikeConfig() {
  auto config = nvenc::Zeroed<nvenc::Config>();
  config.gopLength = config.h264.idrPeriod = 250;
  config.frameIntervalP = 3;
  config.rcParams.averageBitRate = 5'000'000;
  config.rcParams.flags = nvenc::kRcFlagEnableLookahead | 0x4 | 0x5000;  // + initial QP, AQ strength 5
  config.rcParams.lookaheadDepth = 16;
  config.rcParams.targetQuality = 33;
  config.rcParams.targetQualityLsb = 128;
  config.h264.flags = 0x40;  // AUD output
  config.h264.vui.videoFullRangeFlag = 1;
  return config;
}

TEST(NvencConfigTest, PresetConfigurationChangesOnlyOurMembers) {
  EncoderConfig settings = Settings1080p(RateControl::ConstantQuality, 30);
  settings.keyframeSeconds = 3;
  nvenc::Config config = PresetLikeConfig();
  ApplyNvencSettings(config, settings);
  EXPECT_EQ(config.version, nvenc::kConfigVersion);
  EXPECT_EQ(config.profileGuid, nvenc::kH264ProfileHighGuid);
  const nvenc::RcParams& rc = config.rcParams;
  const nvenc::H264Config& h264 = config.h264;
  // GOP and IDR period = fps * keyframe seconds, no B-frames, VBR capped at the
  // derived peak without an average, quality above 51 sent as 51.
  EXPECT_EQ((Words{config.gopLength, h264.idrPeriod, uint32_t(config.frameIntervalP), rc.rateControlMode,
                   rc.averageBitRate, rc.maxBitRate, rc.targetQuality, rc.targetQualityLsb, rc.lookaheadDepth}),
            (Words{90, 90, 1, nvenc::kRateControlVbr, 0, 9'953'280, 51, 0, 0}));
  EXPECT_EQ(rc.flags, 0x4u | 0x5000 | 0x8) << "AQ on, look-ahead off, the rest kept";
  EXPECT_EQ(h264.flags, 0x40u | 0x1000) << "SPS/PPS with every IDR, the rest kept";
  EXPECT_EQ(h264.chromaFormatIdc, 1u) << "4:2:0";
  // BT.709 colour description; the full-range flag stays as the preset has it.
  const nvenc::VuiParameters& vui = h264.vui;
  EXPECT_EQ((Words{vui.videoSignalTypePresentFlag, vui.videoFormat, vui.videoFullRangeFlag,
                   vui.colourDescriptionPresentFlag, vui.colourPrimaries, vui.transferCharacteristics,
                   vui.colourMatrix}),
            (Words{1, 5, 1, 1, 1, 1, 1}));

  config = PresetLikeConfig();
  ApplyNvencSettings(config, Settings1080p(RateControl::Vbr, 30, 8'000'000));
  EXPECT_EQ((Words{config.rcParams.averageBitRate, config.rcParams.maxBitRate, config.rcParams.targetQuality}),
            (Words{8'000'000, 12'000'000, 33}))
      << "target quality belongs to the quality mode only";
}

TEST(NvencConfigTest, CallParameters) {
  EncoderConfig settings = Settings1080p(RateControl::ConstantQuality, 60);
  settings.preset = 9;
  nvenc::Config config{};
  const nvenc::InitializeParams init = MakeNvencInitializeParams(settings, &config);
  EXPECT_EQ(init.presetGuid.data1, 0x84848c12u) << "P7";
  EXPECT_TRUE(init.encodeGuid == nvenc::kCodecH264Guid && init.encodeConfig == &config);
  EXPECT_EQ((Words{init.encodeWidth, init.encodeHeight, init.darWidth, init.darHeight, init.frameRateNum,
                   init.frameRateDen, init.enableEncodeAsync, init.enablePtd, init.tuningInfo}),
            (Words{1920, 1080, 1920, 1080, 60, 1, 0, 1, 1}));  // tuned for high quality

  int texture = 0, mapped = 0, bitstream = 0;
  const nvenc::RegisterResource reg = MakeNvencRegisterResource(settings, &texture);
  EXPECT_EQ((Words{reg.width, reg.height, reg.pitch}), (Words{1920, 1080, 0}));
  EXPECT_EQ(reg.resourceToRegister, &texture);

  const nvenc::PicParams pic = MakeNvencPicParams(settings, &mapped, 7, &bitstream, -5, 166'667, true);
  EXPECT_EQ((Words{pic.inputWidth, pic.inputHeight, pic.inputPitch, pic.bufferFmt, pic.encodePicFlags}),
            (Words{1920, 1080, 1920, 7, nvenc::kPicFlagForceIdr | nvenc::kPicFlagOutputSpsPps}));
  EXPECT_EQ((std::pair{static_cast<int64_t>(pic.inputTimeStamp), pic.inputDuration}), (std::pair{int64_t{-5}, uint64_t{166'667}}));
  EXPECT_TRUE(pic.inputBuffer == &mapped && pic.outputBitstream == &bitstream);
  EXPECT_EQ(MakeNvencPicParams(settings, &mapped, 7, &bitstream, 0, 1, false).encodePicFlags, 0u);
  EXPECT_EQ(MakeNvencEndOfStreamParams().encodePicFlags, nvenc::kPicFlagEos);
  EXPECT_EQ((Words{init.version, reg.version, pic.version}),
            (Words{nvenc::kInitializeParamsVersion, nvenc::kRegisterResourceVersion, nvenc::kPicParamsVersion}));
}

TEST(NvencConfigTest, ParameterSetsFromTheSequenceHeader) {
  test::LogCapture log;
  VideoTrackInfo track;
  EXPECT_TRUE(StoreNvencParameterSets(Bytes{0, 0, 0, 1, 0x67, 0x64, 0x00, 0x2A, 0, 0, 0, 1, 0x68, 0xEE}, track));
  EXPECT_EQ(track.sps, (Bytes{0x67, 0x64, 0x00, 0x2A})) << "four bytes are enough";
  EXPECT_EQ(track.pps, (Bytes{0x68, 0xEE}));
  EXPECT_TRUE(log.Lines().empty());
  VideoTrackInfo shortSps, noPps;
  EXPECT_FALSE(StoreNvencParameterSets(Bytes{0, 0, 0, 1, 0x67, 0x64, 0x00, 0, 0, 0, 1, 0x68, 0xEE}, shortSps));
  EXPECT_FALSE(StoreNvencParameterSets(Bytes{0, 0, 0, 1, 0x67, 0x64, 0x00, 0x2A}, noPps));
  EXPECT_EQ(log.CountStartingWith("nvenc: SPS/PPS missing from sequence params"), 2);
}

TEST(NvencConfigTest, PacketFromLockedBitstream) {
  // An IDR access unit with repeated parameter sets; the SEI stays.
  const uint8_t bytes[] = {0, 0, 0, 1, 0x09, 0x10, 0, 0, 0, 1, 0x67, 0x64, 0, 0, 0, 1, 0x68, 0xEE,  //
                           0, 0, 1, 0x06, 0x05, 0, 0, 1, 0x65, 0xB8, 0x04};
  auto lock = nvenc::Zeroed<nvenc::LockBitstream>();
  lock.bitstreamBufferPtr = const_cast<uint8_t*>(bytes);
  lock.bitstreamSizeInBytes = sizeof bytes;
  lock.outputTimeStamp = static_cast<uint64_t>(int64_t{-166'666});
  lock.pictureType = nvenc::kPictureTypeIdr;
  const EncodedPacket idr = MakeNvencPacket(lock, 166'667);
  EXPECT_TRUE(idr.pts == -166'666 && idr.duration == 166'667 && idr.keyframe);
  EXPECT_EQ(idr.data, (Bytes{0, 0, 0, 2, 0x06, 0x05, 0, 0, 0, 3, 0x65, 0xB8, 0x04}));

  lock.pictureType = 2;            // an I picture is not an IDR
  lock.bitstreamSizeInBytes = 18;  // only the bytes the driver reported count
  const EncodedPacket intra = MakeNvencPacket(lock, 1);
  EXPECT_FALSE(intra.keyframe);
  EXPECT_TRUE(intra.data.empty());
}

}  // namespace
}  // namespace kp
