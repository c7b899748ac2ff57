// The export's pure rules: segments, crop, probe decisions, audio track
// naming and bit rates, the MP4 box walk, which pictures are kept, and the
// command's progress and cancel lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/export_protocol.h"
#include "export/export_segments.h"
#include "export/input_probe.h"
#include "export/segment_cursor.h"
#include "export/timed_overlays.h"
#include "export/track_descriptions.h"
#include "support/temp_folder.h"

namespace kp {
namespace {

constexpr int64_t kS = 10'000'000;

// A 16x15 stream of unknown rate.
SourceStream Stream(uint32_t index, StreamKind kind) { return {index, kind, true, 16, 15, 0, 0, std::nullopt, 0, std::nullopt}; }

TEST(BuildSegmentsTest, MergesSortsClampsAndShifts) {
  using Ranges = std::vector<std::vector<int64_t>>;  // start, end, output offset
  const std::tuple<const char*, std::vector<KeepRange>, int64_t, Ranges> cases[] = {
      {"overlap merges", {{0, 2 * kS}, {1 * kS, 3 * kS}}, 10 * kS, {{0, 3 * kS, 0}}},
      {"later first shifts", {{5 * kS, 8 * kS}, {0, 2 * kS}}, 10 * kS, {{0, 2 * kS, 0}, {5 * kS, 8 * kS, 2 * kS}}},
      {"touching merges", {{0, 2 * kS}, {2 * kS, 3 * kS}}, 10 * kS, {{0, 3 * kS, 0}}},
      {"half a millisecond goes", {{0, 5'000}}, 10 * kS, {}},
      {"one millisecond stays", {{0, 10'000}}, 10 * kS, {{0, 10'000, 0}}},
      {"end clamped to duration", {{8 * kS, 20 * kS}}, 10 * kS, {{8 * kS, 10 * kS, 0}}},
      {"past the end vanishes", {{12 * kS, 20 * kS}}, 10 * kS, {}},
      {"unknown duration keeps ends", {{8 * kS, 20 * kS}}, 0, {{8 * kS, 20 * kS, 0}}},
      {"no ranges: whole clip", {}, 10 * kS, {{0, 10 * kS, 0}}},
      {"no ranges, unknown duration", {}, 0, {{0, 192'153'584'101'141, 0}}},
  };
  for (const auto& [name, keep, duration, expected] : cases) {
    Ranges got;
    for (const ExportSegment& s : BuildSegments(keep, duration)) got.push_back({s.start, s.end, s.outputOffset});
    EXPECT_EQ(got, expected) << name;
  }
}

TEST(SourceRectTest, CropIsClampedEvenAndAtLeast16) {
  const std::tuple<const char*, CropRect, uint32_t, uint32_t, SourceRect> cases[] = {
      {"disabled: whole even picture", {}, 1921, 1081, {0, 0, 1920, 1080}},
      {"width 10 ignored", {true, 0, 0, 10, 100}, 1920, 1080, {0, 0, 1920, 1080}},
      {"x = -20 starts at 0", {true, -20, 0, 100, 100}, 1920, 1080, {0, 0, 100, 100}},
      {"x = 1919 on 1920", {true, 1919, 0, 100, 100}, 1920, 1080, {1904, 0, 1920, 100}},
      {"odd values rounded down", {true, 3, 5, 101, 99}, 1920, 1080, {2, 4, 102, 102}},
      {"too wide is cut", {true, 1800, 1000, 500, 500}, 1920, 1080, {1800, 1000, 1920, 1080}},
  };
  for (const auto& [name, crop, width, height, expected] : cases) {
    EXPECT_EQ(ComputeSourceRect(crop, width, height), expected) << name;
  }
}

TEST(ProbeDecisionsTest, FrameRateColourAndSize) {
  const std::tuple<uint32_t, uint32_t, uint32_t> fps[] = {
      {30'000, 1'001, 30}, {240, 1, 240}, {241, 1, 240}, {1, 3, 1}, {0, 1, 60}, {25, 0, 60}};
  for (const auto& [numerator, denominator, expected] : fps) {
    EXPECT_EQ(DecideFps(numerator, denominator), expected) << numerator << "/" << denominator;
  }
  EXPECT_TRUE(DecideBt709(1u, 480));
  EXPECT_FALSE(DecideBt709(2u, 1080));
  EXPECT_TRUE(DecideBt709(std::nullopt, 720));
  EXPECT_FALSE(DecideBt709(std::nullopt, 719));
  EXPECT_TRUE(DecideBt709(7u, 1080));

  SourceDescription d{0, {Stream(0, StreamKind::Video)}};
  EXPECT_FALSE(DecideInputInfo(d, {}));
  d.streams[0].height = 16;
  const InputInfo info = DecideInputInfo(d, {}).value();
  EXPECT_EQ(std::tuple(info.width, info.height, info.fps, info.bt709), std::tuple(16u, 16u, 60u, false));
  d.streams[0].hasFrameSize = false;
  EXPECT_FALSE(DecideInputInfo(d, {}));
  d.streams[0].hasFrameSize = true;
  d.streams[0].kind = StreamKind::Audio;
  EXPECT_FALSE(DecideInputInfo(d, {}));
}

TEST(AudioTrackListTest, NamesCountFromTheEndAndBitratesSnapToAllowedRates) {
  // Average bytes per second as the reader reports them, then kbit/s.
  const std::pair<uint32_t, uint32_t> rates[] = {
      {16'000, 128}, {18'000, 160}, {14'000, 96}, {0, 160}, {40'000, 192}, {1'000, 96}};
  for (auto [bytes, kbps] : rates) {
    SourceStream s = Stream(0, StreamKind::Audio);
    s.averageBytesPerSecond = bytes;
    EXPECT_EQ(ListSourceAudioTracks({s}, {}).at(0).bitrate, kbps) << bytes;
  }
  EXPECT_EQ(SnapAudioBitrate(144), 160u);  // tie 128/160 stays 160
  EXPECT_EQ(SnapAudioBitrate(112), 96u);   // tie 96/128 gives 96
  // Streams take the descriptions counted from the end; unusable ones (not
  // sound, no name) give positions.
  const std::vector<SourceStream> streams = {Stream(0, StreamKind::Audio), Stream(1, StreamKind::Audio)};
  std::vector<SourceAudioTrack> tracks =
      ListSourceAudioTracks(streams, {{true, "Desktop Audio", 128}, {true, "Microphone", 96}});
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_EQ(std::pair(tracks[0].name, tracks[0].bitrate), std::pair(std::string("Microphone"), 96u));
  EXPECT_EQ(std::pair(tracks[1].name, tracks[1].bitrate), std::pair(std::string("Desktop Audio"), 128u));
  tracks = ListSourceAudioTracks(streams, {{false, "Video", 0}, {true, "", 0}});
  EXPECT_EQ(std::pair(tracks[0].name, tracks[1].name), std::pair(std::string("Audio 1"), std::string("Audio 2")));

  // With identifiers, whatever the numbering: matched by track ID and
  // ordered by it, unmatched ones last.
  std::vector<SourceStream> identified = {Stream(0, StreamKind::Audio), Stream(1, StreamKind::Video),
                                          Stream(2, StreamKind::Audio), Stream(3, StreamKind::Audio)};
  identified[0].streamId = 9;
  identified[2].streamId = 4;
  identified[3].streamId = 2;
  const std::vector<TrackDescription> traks = {
      {false, "Video", 0, 1}, {true, "Microphone", 96, 4}, {true, "Desktop Audio", 128, 3}, {true, "Mixed", 192, 2}};
  std::vector<std::tuple<uint32_t, std::string, uint32_t>> got;
  for (const SourceAudioTrack& t : ListSourceAudioTracks(identified, traks)) got.emplace_back(t.streamIndex, t.name, t.bitrate);
  EXPECT_EQ(got, (std::vector<std::tuple<uint32_t, std::string, uint32_t>>{
                     {3, "Mixed", 192}, {2, "Microphone", 96}, {0, "Audio 3", 160}}));
}

std::string U32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
std::string Box(const std::string& type, const std::string& payload) {
  return U32(static_cast<uint32_t>(payload.size() + 8)) + type + payload;
}
const std::string kLargeFree = U32(1) + "free" + U32(0) + U32(16);  // empty, with a 64-bit size

std::string Trak(const char* handler, const std::string& name, uint32_t timescale, uint32_t duration,
                 const std::string& stsz) {
  const std::string hdlr = Box("hdlr", U32(0) + U32(0) + handler + std::string(12, '\0') + name + '\0');
  const std::string mdhd = Box("mdhd", U32(0) + U32(0) + U32(0) + U32(timescale) + U32(duration) + U32(0));
  const std::string minf = Box("minf", Box("stbl", Box("stsz", stsz)));
  // tkhd version 0: flags, two times, then the track ID (the name's length).
  const std::string tkhd = Box("tkhd", U32(3) + U32(0) + U32(0) + U32(static_cast<uint32_t>(name.size())) +
                                           std::string(68, '\0'));
  return Box("trak", tkhd + Box("mdia", mdhd + hdlr + minf));
}

TEST(TrackDescriptionsTest, WalksMoovForHandlersAndBitrates) {
  // 100 samples of 160 bytes over 1 s: 128 kbit/s; listed sizes 1000 + 3000
  // bytes over 2 s: 16 kbit/s.
  const std::string moov =
      Box("moov", Box("mvhd", std::string(100, '\0')) + kLargeFree +
                      Trak("vide", "Video", 90'000, 0, U32(0) + U32(0) + U32(0)) +
                      Trak("soun", "Desktop Audio", 48'000, 48'000, U32(0) + U32(160) + U32(100)) +
                      Trak("soun", "Mic", 1'000, 2'000, U32(0) + U32(0) + U32(2) + U32(1000) + U32(3000)));
  const std::string file = Box("ftyp", "isom") + kLargeFree + moov + Box("mdat", "xxxx");
  MemoryByteSource source(file.data(), file.size());
  std::vector<std::tuple<bool, std::string, double, uint32_t>> got;
  for (const TrackDescription& t : ReadTrackDescriptions(source)) {
    got.emplace_back(t.sound, t.name, t.bitrate, t.trackId);
  }
  EXPECT_EQ(got, (std::vector<std::tuple<bool, std::string, double, uint32_t>>{
                     {false, "Video", 0, 5}, {true, "Desktop Audio", 128, 13}, {true, "Mic", 16, 3}}));

  // A top-level box running past the end stops the walk before moov.
  std::string broken = Box("ftyp", "isom") + moov;
  broken[3] = char(200);
  MemoryByteSource brokenSource(broken.data(), broken.size());
  EXPECT_TRUE(ReadTrackDescriptions(brokenSource).empty());
}

TEST(TrackDescriptionsTest, SizeZeroRunsToTheEndAndVersionOneTimesAreSixtyFourBits) {
  // Read from a file: a moov of size 0 holding a version-1 mdhd (1000 Hz, 2 s)
  // and a minf of size 0 (4 x 500 bytes: 8 kbit/s), then a track whose
  // version-1 mdhd is too short to read.
  const auto mdhd1 = [](uint32_t payload) {
    return Box("mdhd", (U32(0x01000000) + std::string(16, '\0') + U32(1'000) + U32(0) + U32(2'000) + U32(0))
                           .substr(0, payload));
  };
  const std::string hdlr = Box("hdlr", U32(0) + U32(0) + "soun" + std::string(12, '\0') + "Mic" + '\0');
  const std::string minf = U32(0) + "minf" + Box("stbl", Box("stsz", U32(0) + U32(500) + U32(4)));
  const std::string file = Box("ftyp", "isom") + U32(0) + "moov" + Box("trak", Box("mdia", mdhd1(36) + hdlr + minf)) +
                           Box("trak", Box("mdia", mdhd1(28) + hdlr + minf));
  test::TempFolder folder;
  test::WriteFileBytes(folder.File(L"clip.mp4"), file);
  std::vector<std::pair<std::string, double>> got;
  for (const TrackDescription& t : ReadTrackDescriptions(SystemFiles(), folder.File(L"clip.mp4"))) {
    got.emplace_back(t.name, t.bitrate);
  }
  EXPECT_EQ(got, (std::vector<std::pair<std::string, double>>{{"Mic", 8}, {"Mic", 0}}));
}

TEST(SegmentCursorTest, MidpointDecidesAndFarSegmentsAreSeeked) {
  const int64_t d = 333'333;
  const std::vector<ExportSegment> segments = BuildSegments({{0, 1 * kS}, {2 * kS, 3 * kS}, {10 * kS, 11 * kS}}, 0);
  SegmentCursor cursor(segments);
  using A = SegmentCursor::Action;
  const std::tuple<int64_t, A, int64_t> steps[] = {  // time, action, output time or seek target
      {0, A::Keep, 0},
      {kS - 200'000, A::Keep, kS - 200'000},  // midpoint just inside
      {kS - d / 2, A::Drop, 0},               // midpoint on the end: next segment, 1 s ahead
      {2 * kS - d / 2 - 1, A::Drop, 0},       // midpoint before the start
      {2 * kS - d / 2, A::Keep, kS - d / 2},  // midpoint on the start
      {3 * kS - d / 2, A::Seek, 10 * kS},     // next segment 7 s ahead
      {10 * kS, A::Keep, 2 * kS},
      {11 * kS, A::End, 0},
  };
  for (const auto& [time, action, value] : steps) {
    const SegmentCursor::Decision got = cursor.Place(time, d);
    EXPECT_EQ(got.action, action) << time;
    EXPECT_EQ(action == A::Seek ? got.seekTo : got.outputTime, value) << time;
  }
  // Exactly 3 s ahead is decoded up to, not seeked.
  const std::vector<ExportSegment> near = BuildSegments({{0, 1 * kS}, {4 * kS, 5 * kS}}, 0);
  EXPECT_EQ(SegmentCursor(near).Place(1 * kS, 2).action, A::Drop);
}

TEST(SegmentCursorTest, OutputTimesStrictlyIncreaseAcrossACutThatStepsBack) {
  // 100 fps up to 1.6 s, then a picture every 0.2 s; kept 0-1 s and
  // 1.85-3 s. The 0.2 s picture at 1.8 s holds 1.9 s, so it is kept, and its
  // own time (1 s + 1.8 s - 1.85 s) lies before the last kept picture's.
  const std::vector<ExportSegment> segments = BuildSegments({{0, 1 * kS}, {18'500'000, 3 * kS}}, 0);
  SegmentCursor cursor(segments);
  std::vector<int64_t> kept;
  for (int64_t t = 0; t < 3 * kS; t += t < 16'000'000 ? 100'000 : 2'000'000) {
    const int64_t d = t < 16'000'000 ? 100'000 : 2'000'000;
    const SegmentCursor::Decision got = cursor.Place(t, d);
    if (got.action == SegmentCursor::Action::Keep) kept.push_back(got.outputTime);
  }
  ASSERT_EQ(kept.size(), 100u + 6);  // 0..0.99 s, then 1.8, 2.0 .. 2.8 s
  EXPECT_EQ(kept[99], 9'900'000);
  EXPECT_EQ(kept[100], 9'900'001);  // would be 9,500,000
  EXPECT_EQ(kept[101], 11'500'000);
  EXPECT_TRUE(std::adjacent_find(kept.begin(), kept.end(), std::greater_equal<int64_t>()) == kept.end());
  // A first picture that starts before the keep start begins the output at 0.
  const std::vector<ExportSegment> late = BuildSegments({{5'000'000, 1 * kS}}, 0);
  EXPECT_EQ(SegmentCursor(late).Place(4'999'995, 333'333).outputTime, 0);
}

TEST(TimedOverlaysTest, PixelsAreHeldOnlyWhileTheWindowIsOpen) {
  TimedOverlays<int> overlays;
  overlays.Add(L"a", 0, 0, 0, 2 * kS);
  overlays.Add(L"b", 0, 0, 1 * kS, 3 * kS);
  overlays.Add(L"c", 0, 0, 5 * kS, 6 * kS);
  std::wstring decoded;
  bool decodes = true;
  const TimedOverlays<int>::Decoder decode = [&](const std::wstring& image) {
    decoded += image;
    return decodes ? std::make_unique<int>(int(image[0])) : nullptr;
  };
  // time, overlays holding pixels, every image decoded so far
  const std::tuple<int64_t, std::wstring, std::wstring> steps[] = {
      {0, L"a", L"a"},           {15'000'000, L"ab", L"ab"}, {2 * kS, L"b", L"ab"},
      {4 * kS, L"", L"ab"},      {5 * kS, L"c", L"abc"},     {1 * kS, L"ab", L"abcab"},
  };
  for (const auto& [time, held, all] : steps) {
    ASSERT_TRUE(overlays.Update(time, decode)) << time;
    std::wstring shown;
    overlays.ForEachShown([&](const OverlaySpec&, int pixels) { shown += wchar_t(pixels); });
    EXPECT_EQ(shown, held) << time;
    EXPECT_EQ(overlays.Held(), held.size()) << time;
    EXPECT_EQ(decoded, all) << time;
  }
  decodes = false;
  EXPECT_FALSE(overlays.Update(5 * kS, decode));
}

TEST(ExportProtocolTest, ProgressLinesAreRateLimited) {
  // Steps of 2^-11 (about 0.0005) every 10 ms: every third value passes 0.001.
  ProgressLimiter limiter;
  int printed = 0;
  for (int i = 0; i < 200; ++i) printed += limiter.ShouldPrint(i / 2048.0, 1'000 + int64_t{i} * 100'000);
  EXPECT_EQ(printed, 67);
  // Tiny steps only pass once per 0.25 s: at 0, 0.25, 0.5 and 0.75 s.
  ProgressLimiter slow;
  printed = 0;
  for (int i = 0; i < 100; ++i) printed += slow.ShouldPrint(0.5 + i * 0.00001, int64_t{i} * 100'000);
  EXPECT_EQ(printed, 4);
}

TEST(ExportProtocolTest, OnlyLinesBeginningWithCancelCancel) {
  const std::pair<std::string, bool> cases[] = {
      {"cancel\r\n", true}, {"cancel\n", true}, {"cancelled now\n", true}, {"please cancel\n", false},
      {"cance\n", false},   {"cancel", false},  {"x\ncancel\n", true},     {"\n\n", false}};
  for (const auto& [input, cancels] : cases) {
    CancelLineReader reader;
    bool got = false;
    for (char c : input) got = reader.Feed(c) || got;
    EXPECT_EQ(got, cancels) << input;
  }
}

}  // namespace
}  // namespace kp
