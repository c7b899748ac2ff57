// The AAC encoder over a scripted codec: time stamps, retries, failures, logs.
#include "audio/aac_encoder.h"

#include <gtest/gtest.h>

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
  EXPECT_EQ(f.record->lastBufferSize, 8192u);  // the codec reported no size
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

TEST(AacEncoderTest, UnavailableCodecAndMediaTypeOrder) {
  struct Case {
    uint32_t createFailure, inputFailure, outputFailure;
    bool inputNeedsOutputFirst;
    const char* line;  // null: accepted without a line
  };
  const Case cases[] = {
      {0x80040154, 0, 0, false, "aac: encoder unavailable (hr=0x80040154)"},
      {0, 0xC00D36B4, 0, true, nullptr},  // input only after output: the second order works
      {0, 0, 0xC00D6D60, false, "aac: media types rejected (hr=0xC00D6D60)"},
      {0, 0xC00D36B4, 0, false, "aac: media types rejected (hr=0xC00D36B4)"},  // fails last in the second order
  };
  for (const Case& c : cases) {
    FakeCodecScript script;
    script.createFailure = c.createFailure;
    script.inputTypeFailure = c.inputFailure;
    script.outputTypeFailure = c.outputFailure;
    script.inputNeedsOutputFirst = c.inputNeedsOutputFirst;
    Fixture f(script);
    EXPECT_EQ(f.encoder.Initialize(160), c.line == nullptr) << c.line;
    if (c.createFailure != 0) {  // stays inert
      f.EncodeBlocks(4);
      f.encoder.Flush(f.packets);
      EXPECT_TRUE(f.packets.empty());
    }
    EXPECT_EQ(f.log.Lines(), c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace kp
