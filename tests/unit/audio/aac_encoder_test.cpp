// The AAC encoder's contract over a scripted codec (time stamps, retries,
// failures, log lines) and over the Linux build's real FFmpeg codec.
#include "audio/aac_encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "audio/audio_format.h"
#include "support/log_capture.h"
#include "unit/audio/fake_aac_codec.h"

namespace kp {
namespace {

using test::FakeCodecScript;
using test::LogCapture;

constexpr int64_t kStart = 5'000'000'123;

struct Fixture {
  explicit Fixture(const FakeCodecScript& script = {}) : encoder(test::FakeCodecFactory(script, record)) {}
  // Block k holds the value k + 1 and starts at frame 1,024 k after `start`.
  void EncodeBlocks(int count, int64_t start = kStart) {
    for (int k = 0; k < count; ++k) {
      std::vector<int16_t> pcm(2048, static_cast<int16_t>(k + 1));
      encoder.Encode(pcm.data(), 1024, start + FramesToTicks(k * 1024), packets);
    }
  }
  std::vector<int64_t> Pts() const {
    std::vector<int64_t> out;
    for (const auto& p : packets) out.push_back(p->pts - kStart);
    return out;
  }
  std::shared_ptr<test::FakeCodecRecord> record = std::make_shared<test::FakeCodecRecord>();
  AacEncoder encoder;
  AudioPacketList packets;
  LogCapture log;
};

TEST(AacEncoderTest, EffectiveBitrateSnapsDownToAllowedRates) {
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 96},    {100, 96},  {128, 128},
                                                 {160, 160}, {191, 160}, {192, 192}};
  for (auto [requested, expected] : cases) EXPECT_EQ(AacEncoder::EffectiveBitrate(requested), expected) << requested;
}

TEST(AacEncoderTest, PacketTimesCountFromFirstInputInWholeFrames) {
  FakeCodecScript script;
  script.primingOutputs = 2;            // the codec holds two frames back...
  script.reportedTimeOffset = 426'666;  // ...and says so in its own times
  Fixture f(script);
  ASSERT_TRUE(f.encoder.Initialize(500));
  EXPECT_EQ(f.record->outputKbps, 192u);  // the effective rate
  EXPECT_EQ(f.record->beginStreams, 1);
  f.EncodeBlocks(5);
  // The three packets out so far are the stream's first three frames, not
  // stamped with the codec's times.
  EXPECT_EQ(f.Pts(), (std::vector<int64_t>{0, 213'333, 426'666}));
  for (const auto& p : f.packets) EXPECT_TRUE(p->keyframe);
  EXPECT_EQ(f.packets[0]->duration, 213'333);
  EXPECT_EQ(f.packets[1]->duration, 213'333);
  EXPECT_EQ(f.packets[2]->duration, 213'334);
  ASSERT_EQ(f.packets[0]->data.size(), 4096u);
  EXPECT_EQ(f.packets[0]->data[0], 1);  // the first block's PCM
  EXPECT_EQ(f.record->inputDurations.front(), 213'333);
  EXPECT_TRUE(f.log.Has("aac: first frame, encoder time offset 42.7 ms"));
  EXPECT_EQ(f.log.CountStartingWith("aac: first frame"), 1);

  f.encoder.Flush(f.packets);
  EXPECT_EQ(f.Pts(), (std::vector<int64_t>{0, 213'333, 426'666, 640'000, 853'333}));
  EXPECT_EQ(f.record->drains, 1);
}

TEST(AacEncoderTest, EmptyOutputsAndLostBlocksDoNotShiftLaterPackets) {
  FakeCodecScript script;
  script.emptyOutputs = {1};
  script.failingInputs = {3};
  Fixture f(script);
  ASSERT_TRUE(f.encoder.Initialize(128));
  f.EncodeBlocks(6);
  // Input 3 lost, output 1 empty: four packets, stamped as frames 0..3.
  EXPECT_EQ(f.Pts(), (std::vector<int64_t>{0, 213'333, 426'666, 640'000}));
  EXPECT_EQ(f.packets[1]->data[0], 3);  // output 1 (block 2) was the empty one
  EXPECT_TRUE(f.log.Has("aac: ProcessInput failed (hr=0x80004005)"));
  EXPECT_EQ(f.encoder.framesEmitted(), 4);
}

TEST(AacEncoderTest, NotAcceptingCollectsThenRetriesOnce) {
  FakeCodecScript script;
  script.primingOutputs = 1;
  script.notAcceptingInputs = {2};
  Fixture f(script);
  ASSERT_TRUE(f.encoder.Initialize(160));
  f.EncodeBlocks(3);
  EXPECT_EQ(f.record->inputCalls, 4);
  EXPECT_EQ(f.record->inputTimes.size(), 3u);
  EXPECT_EQ(f.packets.size(), 2u);
  EXPECT_EQ(f.log.CountStartingWith("aac: ProcessInput failed"), 0);
}

TEST(AacEncoderTest, UnavailableCodecLogsAndStaysInert) {
  FakeCodecScript script;
  script.createFailure = 0x80040154;
  Fixture f(script);
  EXPECT_FALSE(f.encoder.Initialize(160));
  f.EncodeBlocks(4);
  f.encoder.Flush(f.packets);
  EXPECT_TRUE(f.packets.empty());
  EXPECT_EQ(f.log.Lines(), std::vector<std::string>{"aac: encoder unavailable (hr=0x80040154)"});
}

TEST(AacEncoderTest, MediaTypeOrderFallbackAndRejection) {
  struct Case {
    uint32_t inputFailure, outputFailure;
    bool inputNeedsOutputFirst;
    const char* line;  // null: accepted without a line
  };
  const Case cases[] = {
      {0xC00D36B4, 0, true, nullptr},  // input only after output: the second order works
      {0, 0xC00D6D60, false, "aac: media types rejected (hr=0xC00D6D60)"},
      {0xC00D36B4, 0, false, "aac: media types rejected (hr=0xC00D36B4)"},  // fails last in the second order
  };
  for (const Case& c : cases) {
    FakeCodecScript script;
    script.inputTypeFailure = c.inputFailure;
    script.outputTypeFailure = c.outputFailure;
    script.inputNeedsOutputFirst = c.inputNeedsOutputFirst;
    Fixture f(script);
    EXPECT_EQ(f.encoder.Initialize(160), c.line == nullptr) << c.line;
    EXPECT_EQ(f.log.Lines(), c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{});
  }
}

TEST(AacEncoderTest, OutputBufferIsAtLeast8K) {
  for (auto [reported, expected] : {std::pair<uint32_t, uint32_t>{0, 8192}, {20000, 20000}}) {
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
  f.EncodeBlocks(2, kStart + 10'000'000);
  EXPECT_EQ(f.Pts(), (std::vector<int64_t>{10'000'000, 10'213'333}));
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
      pcm[i * 2] = pcm[i * 2 + 1] =
          static_cast<int16_t>(std::lround(8000.0 * std::sin(2.0 * std::numbers::pi * 1000.0 * (k * 1024 + i) / 48e3)));
    }
    encoder.Encode(pcm.data(), 1024, kStart + FramesToTicks(k * 1024), packets);
  }
  encoder.Flush(packets);
  // Priming adds one frame at the end of the stream.
  ASSERT_GE(packets.size(), static_cast<size_t>(blocks));
  ASSERT_LE(packets.size(), static_cast<size_t>(blocks + 2));
  size_t bytes = 0;
  for (size_t n = 0; n < packets.size(); ++n) {
    const auto& data = packets[n]->data;
    EXPECT_EQ(packets[n]->pts, kStart + FramesToTicks(static_cast<int64_t>(n) * 1024));
    ASSERT_GE(data.size(), 2u);
    EXPECT_FALSE(data[0] == 0xFF && (data[1] & 0xF0) == 0xF0) << "ADTS header in packet " << n;
    bytes += data.size();
  }
  // Roughly the requested 128 kbps, generously bounded.
  const double kbps = bytes * 8.0 / (packets.size() * 1024.0 / 48e3) / 1000.0;
  EXPECT_TRUE(kbps > 40 && kbps < 260) << kbps;
  EXPECT_EQ(log.CountStartingWith("aac: first frame, encoder time offset "), 1);
  EXPECT_EQ(log.CountStartingWith("aac: ProcessInput failed"), 0);
}

}  // namespace
}  // namespace kp
