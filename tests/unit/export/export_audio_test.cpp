// Audio of an export: frame positions, silence for late blocks, fades at
// cuts, and whole tracks through the AAC encoder.
#include <gtest/gtest.h>

#include <atomic>

#include "export/export_audio.h"
#include "support/log_capture.h"
#include "support/scripted_export_media.h"

namespace kp {
namespace {

constexpr int64_t kS = 10'000'000;

std::vector<int16_t> Block(int64_t frames, int16_t value) { return std::vector<int16_t>(frames * 2, value); }

TEST(PcmAssemblerTest, SegmentPositionsAndLateness) {
  EXPECT_EQ(TicksToFrame(1 * kS), 48'000);
  EXPECT_EQ(TicksToFrame(2 * kS) - TicksToFrame(1 * kS), 48'000);
  EXPECT_EQ(TicksToFrame(104), 0);  // 0.4992 frames
  EXPECT_EQ(TicksToFrame(105), 1);  // 0.504 frames

  struct Case {
    int64_t lateness;
    int64_t silentFrames;
  };
  // A block 2 frames after the previous one's end joins it; 3 frames leave
  // a hole of zeros.
  for (Case c : {Case{0, 0}, Case{2, 0}, Case{3, 3}, Case{-2, 0}}) {
    PcmAssembler pcm;
    pcm.BeginSegment(0, 300);
    const auto first = Block(100, 7);
    const auto second = Block(100, 9);
    pcm.Add(0, first.data(), 100);
    pcm.Add(100 + c.lateness, second.data(), 100);
    int64_t zeros = 0;
    for (int64_t f = 100; f < pcm.Frames(); ++f) zeros += pcm.Samples()[f * 2] == 0 ? 1 : 0;
    EXPECT_EQ(zeros, c.silentFrames) << c.lateness;
    EXPECT_EQ(pcm.Frames(), 200 + c.silentFrames) << c.lateness;
  }
}

TEST(PcmAssemblerTest, EverySegmentGetsExactlyItsFrames) {
  PcmAssembler pcm;
  // Starts inside a block, ends inside another; an early end of the stream
  // becomes silence.
  pcm.BeginSegment(1'000, 2'000);
  const auto block = Block(1'024, 5);
  pcm.Add(0, block.data(), 1'024);
  pcm.Add(1'024, block.data(), 1'024);
  EXPECT_TRUE(pcm.Done());
  EXPECT_EQ(pcm.Frames(), 1'000);
  pcm.BeginSegment(5'000, 6'000);
  pcm.Add(5'500, block.data(), 100);
  pcm.FinishWithSilence();
  EXPECT_EQ(pcm.Frames(), 2'000);
  EXPECT_EQ(pcm.Samples()[(1'000 + 499) * 2], 0);
  EXPECT_EQ(pcm.Samples()[(1'000 + 500) * 2], 5);
  EXPECT_EQ(pcm.Samples()[(1'000 + 600) * 2], 0);
}

TEST(PcmAssemblerTest, FadesCoverHalfASegmentUpTo240Frames) {
  struct Case {
    int64_t frames;
    int64_t fadeLength;
  };
  for (Case c : {Case{4'800, 240}, Case{192, 96}}) {  // 100 ms and 4 ms
    PcmAssembler pcm;
    pcm.BeginSegment(0, c.frames);
    const auto block = Block(c.frames, 1'000);
    pcm.Add(0, block.data(), c.frames);
    pcm.Fade(true, true);
    const std::vector<int16_t>& s = pcm.Samples();
    EXPECT_EQ(s[0], 0) << c.frames;
    EXPECT_EQ(s[1], 0) << c.frames;  // both channels
    EXPECT_EQ(s[(c.fadeLength / 2) * 2], 500) << c.frames;
    EXPECT_EQ(s[(c.fadeLength - 1) * 2], 1'000 * (c.fadeLength - 1) / c.fadeLength) << c.frames;
    EXPECT_EQ(s[(c.frames - 1) * 2], 0) << c.frames;
    EXPECT_EQ(s[(c.frames - c.fadeLength) * 2], 1'000 * (c.fadeLength - 1) / c.fadeLength) << c.frames;
    if (c.frames > 2 * c.fadeLength) {
      EXPECT_EQ(s[c.fadeLength * 2], 1'000) << c.frames;
      EXPECT_EQ(s[(c.frames - c.fadeLength - 1) * 2], 1'000) << c.frames;
    }
  }
  PcmAssembler unfaded;
  unfaded.BeginSegment(0, 100);
  const auto block = Block(100, 1'000);
  unfaded.Add(0, block.data(), 100);
  unfaded.Fade(false, false);
  EXPECT_EQ(unfaded.Samples().front(), 1'000);
  EXPECT_EQ(unfaded.Samples().back(), 1'000);
}

TEST(ExportAudioTrackTest, TrackIsAsLongAsTheKeptTime) {
  test::ScriptedSource source;
  source.audio = {{1, 3'000, 1'024, 25'000'000, false}};  // stream ends at 2.5 s
  test::ScriptedExportMedia media(source);
  const std::vector<ExportSegment> segments = BuildSegments({{1 * kS, 2 * kS}, {3 * kS, 4 * kS}}, 6 * kS);
  std::atomic<bool> cancel{false};
  ExportedAudioTrack out;
  ASSERT_TRUE(ExportAudioTrack(media, L"in.mp4", {1, "Audio 1", 128}, segments, 6 * kS, cancel,
                               CreatePlatformAacCodec, out));
  EXPECT_EQ(out.info.name, "Audio 1");
  EXPECT_EQ(out.info.sampleRate, 48'000u);
  EXPECT_EQ(out.info.channels, 2u);
  // 96,000 frames of PCM (2 x 1 s, the second segment mostly silence):
  // 93.75 AAC frames, plus at most the codec's priming frame.
  const int64_t frames = static_cast<int64_t>(out.packets.size()) * 1'024;
  EXPECT_GE(frames, 96'000);
  EXPECT_LT(frames, 96'000 + 2 * 1'024);
  EXPECT_EQ(out.packets.front()->pts, 0);
}

TEST(ExportAudioTrackTest, RefusedFormatIsLeftOutAndCancelStops) {
  test::LogCapture log;
  test::ScriptedSource source;
  source.audio = {{1, 3'000, 1'024, -1, true}};
  test::ScriptedExportMedia media(source);
  const std::vector<ExportSegment> segments = BuildSegments({}, 6 * kS);
  std::atomic<bool> cancel{false};
  ExportedAudioTrack out;
  EXPECT_FALSE(ExportAudioTrack(media, L"in.mp4", {1, "Mic", 128}, segments, 6 * kS, cancel, CreatePlatformAacCodec,
                                out));
  EXPECT_TRUE(log.Has("export: audio track 'Mic' can't be decoded to 48 kHz stereo, leaving it out"));

  test::ScriptedSource good;
  good.audio = {{1, 3'000, 1'024, -1, false}};
  test::ScriptedExportMedia goodMedia(good);
  cancel = true;
  EXPECT_FALSE(ExportAudioTrack(goodMedia, L"in.mp4", {1, "Mic", 128}, segments, 6 * kS, cancel,
                                CreatePlatformAacCodec, out));
}

}  // namespace
}  // namespace kp
