// The export's pure rules: segments, crop, probe decisions, audio track
// naming and bit rates, the MP4 box walk, which pictures are kept, and the
// command's progress and cancel lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/export_protocol.h"
#include "export/input_probe.h"
#include "export/segment_cursor.h"
#include "export/export_segments.h"
#include "export/track_descriptions.h"

namespace kp {
namespace {

constexpr int64_t kS = 10'000'000;

using Ranges = std::vector<std::vector<int64_t>>;  // start, end, output offset

Ranges Of(const std::vector<ExportSegment>& segments) {
  Ranges out;
  for (const ExportSegment& s : segments) out.push_back({s.start, s.end, s.outputOffset});
  return out;
}

TEST(BuildSegmentsTest, MergesSortsClampsAndShifts) {
  struct Case {
    const char* name;
    std::vector<KeepRange> keep;
    int64_t duration;
    Ranges expected;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) EXPECT_EQ(Of(BuildSegments(c.keep, c.duration)), c.expected) << c.name;
}

TEST(SourceRectTest, CropIsClampedEvenAndAtLeast16) {
  struct Case {
    const char* name;
    CropRect crop;
    uint32_t width, height;
    SourceRect expected;
  };
  const Case cases[] = {
      {"disabled: whole even picture", {}, 1921, 1081, {0, 0, 1920, 1080}},
      {"width 10 ignored", {true, 0, 0, 10, 100}, 1920, 1080, {0, 0, 1920, 1080}},
      {"x = -20 starts at 0", {true, -20, 0, 100, 100}, 1920, 1080, {0, 0, 100, 100}},
      {"x = 1919 on 1920", {true, 1919, 0, 100, 100}, 1920, 1080, {1904, 0, 1920, 100}},
      {"odd values rounded down", {true, 3, 5, 101, 99}, 1920, 1080, {2, 4, 102, 102}},
      {"too wide is cut", {true, 1800, 1000, 500, 500}, 1920, 1080, {1800, 1000, 1920, 1080}},
  };
  for (const Case& c : cases) EXPECT_EQ(ComputeSourceRect(c.crop, c.width, c.height), c.expected) << c.name;
}

TEST(ProbeDecisionsTest, FrameRateColourAndSize) {
  EXPECT_EQ(DecideFps(30'000, 1'001), 30u);
  EXPECT_EQ(DecideFps(1'000, 1), 240u);
  EXPECT_EQ(DecideFps(1, 3), 1u);  // rounds to 0
  EXPECT_EQ(DecideFps(0, 1), 60u);
  EXPECT_EQ(DecideFps(25, 0), 60u);
  EXPECT_EQ(10'000'000 / DecideFps(30'000, 1'001), 333'333u);

  EXPECT_TRUE(DecideBt709(1u, 480));
  EXPECT_FALSE(DecideBt709(2u, 1080));
  EXPECT_TRUE(DecideBt709(std::nullopt, 720));
  EXPECT_FALSE(DecideBt709(std::nullopt, 719));
  EXPECT_TRUE(DecideBt709(7u, 1080));

  SourceDescription d;
  SourceStream video;
  video.kind = StreamKind::Video;
  video.hasFrameSize = true;
  video.width = 16;
  video.height = 15;
  d.streams.push_back(video);
  EXPECT_FALSE(DecideInputInfo(d, {}));
  d.streams[0].height = 16;
  EXPECT_TRUE(DecideInputInfo(d, {}));
  d.streams[0].kind = StreamKind::Audio;
  EXPECT_FALSE(DecideInputInfo(d, {}));
}

TEST(AudioTrackListTest, BitrateSnapsToTheNearestAllowedRate) {
  // Average bytes per second as the reader reports them.
  const std::pair<uint32_t, uint32_t> cases[] = {
      {16'000, 128}, {18'000, 160}, {14'000, 96}, {0, 160}, {40'000, 192}, {1'000, 96}};
  for (auto [bytes, kbps] : cases) {
    SourceStream s;
    s.kind = StreamKind::Audio;
    s.averageBytesPerSecond = bytes;
    EXPECT_EQ(ListSourceAudioTracks({s}, {}).at(0).bitrate, kbps) << bytes;
  }
  EXPECT_EQ(SnapAudioBitrate(144), 160u);  // tie 128/160 stays 160
  EXPECT_EQ(SnapAudioBitrate(112), 96u);   // tie 96/128 gives 96
}

TEST(AudioTrackListTest, StreamTakesTheDescriptionCountedFromTheEnd) {
  std::vector<SourceStream> streams(2);
  streams[0].index = 0;
  streams[1].index = 1;
  for (SourceStream& s : streams) s.kind = StreamKind::Audio;
  const std::vector<TrackDescription> described = {{true, "Desktop Audio", 128}, {true, "Microphone", 96}};
  std::vector<SourceAudioTrack> tracks = ListSourceAudioTracks(streams, described);
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_EQ(tracks[0].name, "Microphone");
  EXPECT_EQ(tracks[0].bitrate, 96u);
  EXPECT_EQ(tracks[1].name, "Desktop Audio");
  EXPECT_EQ(tracks[1].bitrate, 128u);

  // Unusable descriptions (not sound, no name, none at all) give positions.
  tracks = ListSourceAudioTracks(streams, {{false, "Video", 0}, {true, "", 0}});
  EXPECT_EQ(tracks[0].name, "Audio 1");
  EXPECT_EQ(tracks[1].name, "Audio 2");
}

// Box bytes: big-endian size, type, payload.
std::string Box(const std::string& type, const std::string& payload) {
  const uint32_t size = static_cast<uint32_t>(payload.size() + 8);
  std::string out = {char(size >> 24), char(size >> 16), char(size >> 8), char(size)};
  return out + type + payload;
}
std::string U32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

std::string Trak(const char* handler, const std::string& name, uint32_t timescale, uint32_t duration,
                 const std::string& stsz) {
  const std::string hdlr = Box("hdlr", U32(0) + U32(0) + handler + std::string(12, '\0') + name + '\0');
  const std::string mdhd = Box("mdhd", U32(0) + U32(0) + U32(0) + U32(timescale) + U32(duration) + U32(0));
  const std::string stbl = Box("stbl", Box("stsz", stsz));
  return Box("trak", Box("tkhd", std::string(84, '\0')) + Box("mdia", mdhd + hdlr + Box("minf", stbl)));
}

TEST(TrackDescriptionsTest, WalksMoovForHandlersAndBitrates) {
  // 100 samples of 160 bytes over 1 s at 48 kHz: 128 kbit/s; listed sizes
  // 1000 + 3000 bytes over 2 s at 1 kHz: 16 kbit/s.
  const std::string moov =
      Box("moov", Box("mvhd", std::string(100, '\0')) +
                      Trak("vide", "Video", 90'000, 0, U32(0) + U32(0) + U32(0)) +
                      Trak("soun", "Desktop Audio", 48'000, 48'000, U32(0) + U32(160) + U32(100)) +
                      Trak("soun", "Mic", 1'000, 2'000, U32(0) + U32(0) + U32(2) + U32(1000) + U32(3000)));
  const std::string file = Box("ftyp", "isom") + Box("free", "") + moov + Box("mdat", "xxxx");
  MemoryByteSource source(file.data(), file.size());
  const std::vector<TrackDescription> tracks = ReadTrackDescriptions(source);
  ASSERT_EQ(tracks.size(), 3u);
  EXPECT_FALSE(tracks[0].sound);
  EXPECT_EQ(tracks[0].bitrate, 0);
  EXPECT_TRUE(tracks[1].sound);
  EXPECT_EQ(tracks[1].name, "Desktop Audio");
  EXPECT_DOUBLE_EQ(tracks[1].bitrate, 128);
  EXPECT_EQ(tracks[2].name, "Mic");
  EXPECT_DOUBLE_EQ(tracks[2].bitrate, 16);

  // A top-level box running past the end stops the walk before moov.
  std::string broken = Box("ftyp", "isom") + moov;
  broken[3] = char(200);
  MemoryByteSource brokenSource(broken.data(), broken.size());
  EXPECT_TRUE(ReadTrackDescriptions(brokenSource).empty());
}

TEST(SegmentCursorTest, MidpointDecidesAndFarSegmentsAreSeeked) {
  const int64_t d = 333'333;
  const std::vector<ExportSegment> segments = BuildSegments({{0, 1 * kS}, {2 * kS, 3 * kS}, {10 * kS, 11 * kS}}, 0);
  SegmentCursor cursor(segments);
  using A = SegmentCursor::Action;
  struct Step {
    int64_t time;
    A action;
    int64_t value;  // output time or seek target
  };
  const Step steps[] = {
      {0, A::Keep, 0},
      {kS - 200'000, A::Keep, kS - 200'000},  // midpoint just inside
      {kS - d / 2, A::Drop, 0},                 // midpoint exactly on the end: next segment, 1 s ahead
      {2 * kS - d / 2 - 1, A::Drop, 0},         // midpoint before the start
      {2 * kS - d / 2, A::Keep, kS - d / 2},    // midpoint on the start
      {3 * kS - d / 2, A::Seek, 10 * kS},       // next segment 7 s ahead
      {10 * kS, A::Keep, 2 * kS},
      {11 * kS, A::End, 0},
  };
  for (const Step& s : steps) {
    const SegmentCursor::Decision got = cursor.Place(s.time, d);
    EXPECT_EQ(got.action, s.action) << s.time;
    if (s.action == A::Keep) {
      EXPECT_EQ(got.outputTime, s.value) << s.time;
    }
    if (s.action == A::Seek) {
      EXPECT_EQ(got.seekTo, s.value) << s.time;
    }
  }
}

TEST(SegmentCursorTest, ExactlyThreeSecondsAheadIsDecodedNotSeeked) {
  const std::vector<ExportSegment> segments = BuildSegments({{0, 1 * kS}, {4 * kS, 5 * kS}}, 0);
  SegmentCursor cursor(segments);
  EXPECT_EQ(cursor.Place(1 * kS, 2).action, SegmentCursor::Action::Drop);
}

TEST(ExportProtocolTest, ProgressLinesAreRateLimited) {
  // Steps of about 0.0005 (2^-11, exact in binary) every 10 ms: two steps
  // stay below 0.001, three pass it, so every third value is printed.
  ProgressLimiter limiter;
  int printed = 0;
  for (int i = 0; i < 200; ++i) {
    printed += limiter.ShouldPrint(i / 2048.0, 1'000 + int64_t{i} * 100'000) ? 1 : 0;
  }
  EXPECT_EQ(printed, 67);

  // Tiny steps only pass once per 0.25 s.
  ProgressLimiter slow;
  printed = 0;
  for (int i = 0; i < 100; ++i) printed += slow.ShouldPrint(0.5 + i * 0.00001, int64_t{i} * 100'000) ? 1 : 0;
  EXPECT_EQ(printed, 4);  // at 0, 0.25, 0.5 and 0.75 s
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
