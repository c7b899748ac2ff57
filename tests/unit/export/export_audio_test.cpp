// Audio of an export: frame positions, silence for late blocks and early
// ends, fades at cuts, and whole tracks through the AAC encoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "export/export_audio.h"
#include "support/log_capture.h"
#include "support/scripted_export_media.h"

namespace kp {
namespace {

constexpr int64_t kS = 10'000'000;

std::vector<int16_t> Block(int64_t frames, int16_t value) { return std::vector<int16_t>(frames * 2, value); }

TEST(PcmAssemblerTest, BlocksLateByThreeFramesLeaveSilence) {
  EXPECT_EQ(TicksToFrame(1 * kS), 48'000);
  EXPECT_EQ(TicksToFrame(104), 0);  // 0.4992 frames
  EXPECT_EQ(TicksToFrame(105), 1);  // 0.504 frames
  const auto first = Block(100, 7), second = Block(100, 9);
  const std::pair<int, int> cases[] = {{0, 0}, {2, 0}, {3, 3}, {-2, 0}};  // lateness, silent frames
  for (auto [lateness, silent] : cases) {
    PcmAssembler pcm;
    pcm.BeginSegment(0, 300);
    pcm.Add(0, first.data(), 100);
    pcm.Add(100 + lateness, second.data(), 100);
    EXPECT_EQ(std::count(pcm.Samples().begin(), pcm.Samples().end(), 0), 2 * silent) << lateness;
    EXPECT_EQ(pcm.Frames(), 200 + silent) << lateness;
  }
}

TEST(PcmAssemblerTest, EverySegmentGetsExactlyItsFrames) {
  // Starts inside a block, ends inside another; an early end of the stream
  // becomes silence.
  PcmAssembler pcm;
  const auto block = Block(1'024, 5);
  pcm.BeginSegment(1'000, 2'000);
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
  // frames, fade length, the level of the fade's last frame (1000 x 239/240, 1000 x 95/96)
  const std::tuple<int, int, int16_t> cases[] = {{4'800, 240, 995}, {192, 96, 989}};
  for (auto [frames, fade, last] : cases) {
    PcmAssembler pcm;
    pcm.BeginSegment(0, frames);
    const auto block = Block(frames, 1'000);
    pcm.Add(0, block.data(), frames);
    pcm.Fade(true, true);
    const std::vector<int16_t>& s = pcm.Samples();
    const std::vector<int16_t> got = {s[0], s[1], s[fade / 2 * 2], s[(fade - 1) * 2], s[fade * 2],
                                      s[(frames - fade - 1) * 2], s[(frames - fade) * 2], s[frames * 2 - 1]};
    const int16_t middle = frames > 2 * fade ? 1'000 : last;
    EXPECT_EQ(got, (std::vector<int16_t>{0, 0, 500, last, middle, middle, last, 0})) << frames;
  }
  PcmAssembler unfaded;
  unfaded.BeginSegment(0, 100);
  const auto block = Block(100, 1'000);
  unfaded.Add(0, block.data(), 100);
  unfaded.Fade(false, false);
  EXPECT_EQ(unfaded.Samples(), block);
}

class ExportAudioTrackTest : public ::testing::Test {
 protected:
  bool Export(test::ScriptedAudioStream stream, const std::vector<KeepRange>& keep) {
    test::ScriptedSource source;
    source.audio = {stream};
    test::ScriptedExportMedia media(source);
    return ExportAudioTrack(media, L"in.mp4", {1, "Mic", 128}, BuildSegments(keep, 6 * kS), 6 * kS, cancel,
                            CreatePlatformAacCodec, out);
  }
  std::atomic<bool> cancel{false};
  ExportedAudioTrack out;
};

TEST_F(ExportAudioTrackTest, TrackIsAsLongAsTheKeptTime) {
  // The stream ends at 2.5 s: the second second is mostly silence.
  ASSERT_TRUE(Export({1, 25'000'000, false}, {{1 * kS, 2 * kS}, {3 * kS, 4 * kS}}));
  EXPECT_EQ(std::tuple(out.info.name, out.info.sampleRate, out.info.channels), std::tuple("Mic", 48'000u, 2u));
  // 96,000 frames of PCM: 93.75 AAC frames, plus at most the codec's priming frame.
  const int64_t frames = static_cast<int64_t>(out.packets.size()) * 1'024;
  EXPECT_GE(frames, 96'000);
  EXPECT_LT(frames, 96'000 + 2 * 1'024);
  EXPECT_EQ(out.packets.front()->pts, 0);
}

TEST_F(ExportAudioTrackTest, RefusedFormatIsLeftOutAndCancelStops) {
  test::LogCapture log;
  EXPECT_FALSE(Export({1, -1, true}, {}));
  EXPECT_TRUE(log.Has("export: audio track 'Mic' can't be decoded to 48 kHz stereo, leaving it out"));
  cancel = true;
  EXPECT_FALSE(Export({1, -1, false}, {}));
}

}  // namespace
}  // namespace kp
