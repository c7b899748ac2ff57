// Audio of an export: frame positions, silence for late blocks and early
// ends, fades at cuts, and whole tracks through a scripted AAC codec.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "export/export_audio.h"
#include "support/log_capture.h"
#include "support/scripted_export_media.h"
#include "unit/audio/fake_aac_codec.h"

namespace kp {
namespace {

constexpr int64_t kS = 10'000'000;

std::vector<int16_t> Block(int64_t frames, int16_t value) { return std::vector<int16_t>(frames * 2, value); }

TEST(PcmAssemblerTest, BlocksLateByThreeFramesLeaveSilence) {
  EXPECT_EQ(TicksToFrame(1 * kS), 48'000);
  EXPECT_EQ(TicksToFrame(104), 0);  // 0.4992 frames
  EXPECT_EQ(TicksToFrame(105), 1);  // 0.504 frames
  EXPECT_EQ(TicksToFrame(-104), 0);
  EXPECT_EQ(TicksToFrame(-105), -1);
  // Where the naive product overflows: the unknown-duration end (rounded
  // from 922,337,203,685.4768 frames) and the largest tick count.
  EXPECT_EQ(TicksToFrame(kUnknownDurationEnd), 922'337'203'685);
  EXPECT_EQ(TicksToFrame(INT64_MAX), 44'272'185'776'902'924);
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
  // Pictures to 6 s unless `videoEnd` says otherwise; `duration` 0: unknown.
  bool Export(test::ScriptedAudioStream stream, const std::vector<KeepRange>& keep, int64_t duration = 6 * kS,
              int64_t videoEnd = 6 * kS) {
    test::ScriptedSource source;
    source.audio = {stream};
    test::ScriptedExportMedia media(source);
    out = {};
    pcm.clear();
    const bool ok =
        ExportAudioTrack(media, L"in.mp4", {1, "Mic", 128}, BuildSegments(keep, duration), duration, videoEnd, cancel,
                         test::FakeCodecFactory({}, std::make_shared<test::FakeCodecRecord>()), out);
    for (const auto& p : out.packets) {  // the fake codec's payloads are the PCM it was given
      const auto* samples = reinterpret_cast<const int16_t*>(p->data.data());
      pcm.insert(pcm.end(), samples, samples + p->data.size() / 2);
    }
    return ok;
  }
  std::atomic<bool> cancel{false};
  ExportedAudioTrack out;
  std::vector<int16_t> pcm;  // as encoded, stereo
};

TEST_F(ExportAudioTrackTest, TrackIsAsLongAsTheKeptTimeAndFadedAtCuts) {
  // Kept: 0-1 s and 3-4 s of a 6 s clip whose sound stops at 3.5 s.
  ASSERT_TRUE(Export({1, 35'000'000, false}, {{0, 1 * kS}, {3 * kS, 4 * kS}}));
  EXPECT_EQ(std::tuple(out.info.name, out.info.sampleRate, out.info.channels), std::tuple("Mic", 48'000u, 2u));
  ASSERT_EQ(pcm.size(), 2u * 96'000);
  // Frames 0 (clip start: no fade), 24,000, 47,999 (faded out), 48,000
  // (faded in), 60,000 (3.25 s), 80,000 (3.67 s: silence).
  const std::vector<int16_t> got = {pcm[0], pcm[48'000], pcm[95'998], pcm[96'000], pcm[120'000], pcm[160'000]};
  EXPECT_EQ(got, (std::vector<int16_t>{1'000, 1'000, 0, 0, 1'000, 0}));
  EXPECT_EQ(out.packets.front()->pts, 0);
}

TEST_F(ExportAudioTrackTest, OnlyTheSegmentWhereTheInputEndsEndsEarly) {
  // Unknown durations (the whole clip, or keep ranges far past its end) and
  // a known one: stream end, pictures' end, keep ranges, then the frames
  // each segment contributes.
  const std::tuple<int64_t, int64_t, int64_t, std::vector<KeepRange>, std::vector<int64_t>> cases[] = {
      {0, 35'000'000, 6 * kS, {}, {165 * 1'024}},                    // the stream's last block ends first
      {0, -1, 4 * kS, {}, {192'000}},                                 // pictures end first
      {0, -1, 4 * kS, {{0, 1 * kS}, {2 * kS, 100'000 * kS}}, {48'000, 96'000}},
      {0, -1, 4 * kS, {{0, 1 * kS}, {5 * kS, 9 * kS}}, {48'000, 0}},  // nothing after the end
      {6 * kS, 25'000'000, 6 * kS, {{0, 2 * kS}, {3 * kS, 4 * kS}}, {96'000, 48'000}},  // silence: keeps place
  };
  for (const auto& [duration, streamEnd, videoEnd, keep, frames] : cases) {
    const bool ok = Export({1, streamEnd, false}, keep, duration, videoEnd);
    int64_t total = 0;
    for (int64_t f : frames) total += f;
    EXPECT_TRUE(ok) << total;
    EXPECT_EQ(static_cast<int64_t>(pcm.size()), 2 * total) << total;
  }
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
