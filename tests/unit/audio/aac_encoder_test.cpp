// The AAC encoder's contract over a scripted codec (time stamps, retries,
// failures, log lines) and over the Linux build's real FFmpeg codec.
#include "audio/aac_encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "audio/audio_format.h"
#include "platform/clock.h"
#include "support/log_capture.h"
#include "unit/audio/fake_aac_codec.h"

namespace kp {
namespace {

using test::FakeCodecFactory;
using test::FakeCodecRecord;
using test::FakeCodecScript;
using test::LogCapture;

constexpr int64_t kStart = 5'000'000'123;

std::vector<int16_t> Block(int16_t value) { return std::vector<int16_t>(2048, value); }

struct Fixture {
  explicit Fixture(const FakeCodecScript& script = {})
      : record(std::make_shared<FakeCodecRecord>()), encoder(FakeCodecFactory(script, record)) {}
  std::shared_ptr<FakeCodecRecord> record;
  AacEncoder encoder;
  AudioPacketList packets;

  void EncodeBlocks(int count, int64_t start = kStart) {
    for (int k = 0; k < count; ++k) {
      auto pcm = Block(static_cast<int16_t>(k + 1));
      encoder.Encode(pcm.data(), 1024, start + FramesToTicks(k * 1024), packets);
    }
  }
};

TEST(AacEncoderTest, EffectiveBitrateSnapsDownToAllowedRates) {
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 96},    {95, 96},   {96, 96},   {100, 96},  {127, 96},
                                                 {128, 128}, {159, 128}, {160, 160}, {191, 160}, {192, 192},
                                                 {500, 192}, {1000, 192}};
  for (auto [requested, expected] : cases) {
    EXPECT_EQ(AacEncoder::EffectiveBitrate(requested), expected) << requested;
  }
  EXPECT_EQ(AacEncoder::AudioSpecificConfig(), (std::vector<uint8_t>{0x11, 0x90}));
}

TEST(AacEncoderTest, InitializeHandsTheCodecTheEffectiveRateAndBeginsTheStream) {
  Fixture f;
  ASSERT_TRUE(f.encoder.Initialize(500));
  EXPECT_EQ(f.record->outputKbps, 192u);
  EXPECT_EQ(f.record->beginStreams, 1);
}

TEST(AacEncoderTest, PacketTimesCountFromFirstInputInWholeFrames) {
  FakeCodecScript script;
  script.primingOutputs = 2;                 // the codec holds two frames back...
  script.reportedTimeOffset = 426'666;       // ...and says so in its own times
  Fixture f(script);
  LogCapture log;
  ASSERT_TRUE(f.encoder.Initialize(160));
  f.EncodeBlocks(5);
  // Two blocks stay inside the codec; the three that came out are stamped as
  // the first three frames of the stream, not with the codec's times.
  ASSERT_EQ(f.packets.size(), 3u);
  int64_t total = 0;
  for (size_t n = 0; n < f.packets.size(); ++n) {
    EXPECT_EQ(f.packets[n]->pts, kStart + static_cast<int64_t>(n) * 1024 * 10'000'000 / 48'000);
    EXPECT_TRUE(f.packets[n]->keyframe);
    EXPECT_EQ(f.packets[n]->pts + f.packets[n]->duration,
              n + 1 < f.packets.size() ? f.packets[n + 1]->pts : kStart + 3 * 1024 * 10'000'000LL / 48'000);
    total += f.packets[n]->duration;
  }
  EXPECT_EQ(f.packets[0]->duration, 213'333);
  EXPECT_EQ(total, 640'000);
  ASSERT_EQ(f.packets[0]->data.size(), 4096u);
  EXPECT_EQ(f.packets[0]->data[0], 1);  // the first block's PCM (little-endian 1)
  EXPECT_EQ(f.record->inputDurations.front(), 213'333);
  EXPECT_TRUE(log.Has("aac: first frame, encoder time offset 42.7 ms")) << log.Lines().size();
  EXPECT_EQ(log.CountStartingWith("aac: first frame"), 1);

  f.encoder.Flush(f.packets);
  ASSERT_EQ(f.packets.size(), 5u);
  EXPECT_EQ(f.packets[4]->pts, kStart + 4 * 1024 * 10'000'000LL / 48'000);
  EXPECT_EQ(f.record->drains, 1);
}

TEST(AacEncoderTest, EmptyOutputsAndLostBlocksDoNotShiftLaterPackets) {
  FakeCodecScript script;
  script.emptyOutputs = {1};
  script.failingInputs = {3};
  Fixture f(script);
  LogCapture log;
  ASSERT_TRUE(f.encoder.Initialize(128));
  f.EncodeBlocks(6);
  // Inputs 0..5 with input 3 lost, output 1 empty: four packets, stamped as
  // frames 0..3 of the stream.
  ASSERT_EQ(f.packets.size(), 4u);
  for (size_t n = 0; n < 4; ++n) EXPECT_EQ(f.packets[n]->pts, kStart + FramesToTicks(static_cast<int64_t>(n) * 1024));
  EXPECT_EQ(f.packets[1]->data[0], 3);  // output 1 (block 2) was the empty one
  EXPECT_TRUE(log.Has("aac: ProcessInput failed (hr=0x80004005)"));
  EXPECT_EQ(f.encoder.framesEmitted(), 4);
}

TEST(AacEncoderTest, NotAcceptingCollectsThenRetriesOnce) {
  FakeCodecScript script;
  script.primingOutputs = 1;
  script.notAcceptingInputs = {2};
  Fixture f(script);
  LogCapture log;
  ASSERT_TRUE(f.encoder.Initialize(160));
  f.EncodeBlocks(3);
  EXPECT_EQ(f.record->inputCalls, 4);
  EXPECT_EQ(f.record->inputTimes.size(), 3u);
  EXPECT_EQ(f.packets.size(), 2u);
  EXPECT_EQ(log.CountStartingWith("aac: ProcessInput failed"), 0);
}

TEST(AacEncoderTest, UnavailableCodecLogsAndStaysInert) {
  FakeCodecScript script;
  script.createFailure = 0x80040154;
  Fixture f(script);
  LogCapture log;
  EXPECT_FALSE(f.encoder.Initialize(160));
  EXPECT_TRUE(log.Has("aac: encoder unavailable (hr=0x80040154)"));
  f.EncodeBlocks(4);
  f.encoder.Flush(f.packets);
  EXPECT_TRUE(f.packets.empty());
  EXPECT_EQ(log.Lines().size(), 1u);
}

TEST(AacEncoderTest, MediaTypeOrderFallbackAndRejection) {
  {  // The input type is only accepted after the output type: second order works.
    FakeCodecScript script;
    script.inputTypeFailure = 0xC00D36B4;
    script.inputNeedsOutputFirst = true;
    Fixture f(script);
    LogCapture log;
    EXPECT_TRUE(f.encoder.Initialize(160));
    EXPECT_EQ(log.Lines().size(), 0u);
  }
  {  // The output type is always refused: the last failure is logged.
    FakeCodecScript script;
    script.outputTypeFailure = 0xC00D6D60;
    Fixture f(script);
    LogCapture log;
    EXPECT_FALSE(f.encoder.Initialize(160));
    EXPECT_TRUE(log.Has("aac: media types rejected (hr=0xC00D6D60)"));
  }
  {  // The input type is always refused: it fails last in the second order.
    FakeCodecScript script;
    script.inputTypeFailure = 0xC00D36B4;
    Fixture f(script);
    LogCapture log;
    EXPECT_FALSE(f.encoder.Initialize(160));
    EXPECT_TRUE(log.Has("aac: media types rejected (hr=0xC00D36B4)"));
  }
}

TEST(AacEncoderTest, OutputBufferIsAtLeast8K) {
  for (auto [reported, expected] : {std::pair<uint32_t, uint32_t>{0, 8192}, {1536, 8192}, {20000, 20000}}) {
    FakeCodecScript script;
    script.reportedBufferSize = reported;
    Fixture f(script);
    ASSERT_TRUE(f.encoder.Initialize(160));
    f.EncodeBlocks(1);
    EXPECT_EQ(f.record->lastBufferSize, expected);
  }
}

TEST(AacEncoderTest, ReinitializeRestartsTheTimeLine) {
  Fixture f;
  ASSERT_TRUE(f.encoder.Initialize(160));
  f.EncodeBlocks(3);
  ASSERT_TRUE(f.encoder.Initialize(160));
  EXPECT_EQ(f.record->created, 2);
  f.packets.clear();
  const int64_t restart = kStart + 10 * kTicksPerSecond;
  f.EncodeBlocks(2, restart);
  ASSERT_EQ(f.packets.size(), 2u);
  EXPECT_EQ(f.packets[0]->pts, restart);
  EXPECT_EQ(f.packets[1]->pts, restart + 213'333);
}

// The platform codec of this build: FFmpeg's native AAC encoder.
TEST(AacEncoderTest, PlatformCodecEncodesRawAccessUnitsOnTheGrid) {
  LogCapture log;
  AacEncoder encoder;
  ASSERT_TRUE(encoder.Initialize(128));
  AudioPacketList packets;
  std::vector<int16_t> pcm(2048);
  const int blocks = 40;
  for (int k = 0; k < blocks; ++k) {
    for (int i = 0; i < 1024; ++i) {
      double t = static_cast<double>(k * 1024 + i) / 48'000.0;
      auto v = static_cast<int16_t>(std::lround(8000.0 * std::sin(2.0 * std::numbers::pi * 1000.0 * t)));
      pcm[i * 2] = v;
      pcm[i * 2 + 1] = v;
    }
    encoder.Encode(pcm.data(), 1024, kStart + FramesToTicks(k * 1024), packets);
  }
  ASSERT_GE(packets.size(), static_cast<size_t>(blocks - 2));
  encoder.Flush(packets);
  // Priming adds one frame at the end of the stream.
  EXPECT_GE(packets.size(), static_cast<size_t>(blocks));
  EXPECT_LE(packets.size(), static_cast<size_t>(blocks + 2));
  size_t bytes = 0;
  for (size_t n = 0; n < packets.size(); ++n) {
    const auto& p = *packets[n];
    EXPECT_EQ(p.pts, kStart + FramesToTicks(static_cast<int64_t>(n) * 1024));
    ASSERT_FALSE(p.data.empty());
    // Raw access units: no ADTS sync word.
    if (p.data.size() >= 2) {
      EXPECT_FALSE(p.data[0] == 0xFF && (p.data[1] & 0xF0) == 0xF0);
    }
    bytes += p.data.size();
  }
  // Roughly the requested 128 kbps over 40 frames (0.85 s), generously bounded.
  double kbps = static_cast<double>(bytes) * 8.0 / (static_cast<double>(packets.size()) * 1024.0 / 48'000.0) / 1000.0;
  EXPECT_GT(kbps, 40.0);
  EXPECT_LT(kbps, 260.0);
  EXPECT_EQ(log.CountStartingWith("aac: first frame, encoder time offset "), 1);
  EXPECT_EQ(log.CountStartingWith("aac: ProcessInput failed"), 0);
}

}  // namespace
}  // namespace kp
