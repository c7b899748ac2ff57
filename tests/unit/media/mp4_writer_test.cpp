// The MP4 writer, checked by reading its files back with an independent box
// reader: layout and fixed fields, sample tables against the packets pushed,
// timing and bit-rate rules, and the ".part" handling under injected faults.
#include "media/mp4_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>

#include "media/mp4_boxes.h"
#include "support/fault_files.h"
#include "support/log_capture.h"
#include "support/mp4_box_reader.h"
#include "support/temp_folder.h"

namespace kp {
namespace {

using test::Mp4File;
using test::Mp4Track;

constexpr int64_t kSecond = 10'000'000;
constexpr int64_t kBase = 123 * kSecond;  // an arbitrary clock reading

VideoTrackInfo MakeVideo(uint8_t profile = 100) {
  VideoTrackInfo info;
  info.width = 1920;
  info.height = 1080;
  info.fps = 60;
  info.sps = {0x67, profile, 0x40, 0x2A, 0xAC, 0x2B, 0x40, 0x3C};
  info.pps = {0x68, 0xEE, 0x3C, 0xB0};
  return info;
}

AudioTrackInfo MakeAudio(std::string name, uint32_t rate = 48000) {
  AudioTrackInfo info;
  info.name = std::move(name);
  info.sampleRate = rate;
  info.channels = 2;
  info.audioSpecificConfig = {0x11, 0x90};
  return info;
}

// Payload bytes derived from a tag, so a misplaced chunk offset shows.
std::shared_ptr<const EncodedPacket> MakePacket(int64_t pts, int64_t duration, bool keyframe, size_t size,
                                                uint8_t tag) {
  auto packet = std::make_shared<EncodedPacket>();
  packet->pts = pts;
  packet->duration = duration;
  packet->keyframe = keyframe;
  packet->data.resize(size);
  for (size_t i = 0; i < size; ++i) packet->data[i] = static_cast<uint8_t>(tag * 31 + i);
  return packet;
}

struct Parsed {
  Mp4File file;
  std::vector<Mp4Track> tracks;  // in trak order
};

::testing::AssertionResult ParseBytes(std::string bytes, Parsed* out, bool headerOnly = false) {
  std::string error;
  if (!out->file.Parse(std::move(bytes), &error, headerOnly)) return ::testing::AssertionFailure() << error;
  out->tracks.clear();
  for (const test::Mp4Box* trak : out->file.Traks()) {
    Mp4Track track;
    if (!test::ReadTrack(out->file, *trak, &track, &error)) return ::testing::AssertionFailure() << error;
    out->tracks.push_back(std::move(track));
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult ParseFile(const std::wstring& path, Parsed* out) {
  if (!test::FileExists(path)) return ::testing::AssertionFailure() << "no output file";
  return ParseBytes(test::ReadFileBytes(path), out);
}

uint32_t MvhdField(const Parsed& parsed, size_t byteOffset) {
  test::BeReader r = parsed.file.Content(*parsed.file.Find("moov/mvhd"));
  r.Skip(byteOffset);
  return r.U32();
}

class Mp4WriterTest : public ::testing::Test {
 protected:
  test::TempFolder folder_;
  std::wstring path_ = folder_.File(L"clip.mp4");
  std::wstring partPath_ = path_ + L".part";
};

// --- Layout -----------------------------------------------------------------

TEST_F(Mp4WriterTest, WritesFixedBoxesTrackOrderAndSampleEntries) {
  Mp4Writer writer;
  const int video = writer.AddVideoTrack(MakeVideo(100));
  const int desktop = writer.AddAudioTrack(MakeAudio("Desktop"));
  const int mic = writer.AddAudioTrack(MakeAudio("Microphone", 44100));
  for (int i = 0; i < 4; ++i) writer.AddSample(video, MakePacket(kBase + i * 166'667, 166'667, i == 0, 900 + i, 1));
  for (int i = 0; i < 3; ++i) writer.AddSample(desktop, MakePacket(kBase + i * 213'333, 213'333, true, 300, 2));
  for (int i = 0; i < 3; ++i) writer.AddSample(mic, MakePacket(kBase + i * 232'200, 232'200, true, 280, 3));
  ASSERT_TRUE(writer.Write(path_));
  EXPECT_FALSE(test::FileExists(partPath_));

  Parsed p;
  ASSERT_TRUE(ParseFile(path_, &p));
  EXPECT_EQ(p.file.TopLevelTypes(), (std::vector<std::string>{"ftyp", "moov", "mdat"}));
  const std::string ftyp("\0\0\0\x20" "ftypisom\0\0\x02\0" "isomiso2avc1mp41", 32);
  EXPECT_EQ(p.file.Raw(*p.file.Find("ftyp")), ftyp);

  const test::Mp4Box* moov = p.file.Find("moov");
  EXPECT_EQ(moov->ChildTypes(), (std::vector<std::string>{"mvhd", "trak", "trak", "trak"}));
  const test::Mp4Box* mvhd = p.file.Find("moov/mvhd");
  EXPECT_EQ(mvhd->size, 108u);
  test::BeReader m = p.file.Content(*mvhd);
  EXPECT_EQ(m.U32(), 0u);      // version, flags
  EXPECT_EQ(m.U64(), 0u);      // creation, modification
  EXPECT_EQ(m.U32(), 1000u);   // timescale
  m.U32();                     // duration, checked in the timing tests
  EXPECT_EQ(m.U32(), 0x00010000u);
  EXPECT_EQ(m.U16(), 0x0100u);
  m.Skip(10);
  const uint32_t matrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
  for (uint32_t v : matrix) EXPECT_EQ(m.U32(), v);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(m.U32(), 0u);
  EXPECT_EQ(m.U32(), 4u);  // next_track_ID
  EXPECT_TRUE(m.ok());

  // Video first, then audio from the highest index down; IDs follow the index.
  ASSERT_EQ(p.tracks.size(), 3u);
  const Mp4Track& v = p.tracks[0];
  const Mp4Track& a2 = p.tracks[1];
  const Mp4Track& a1 = p.tracks[2];
  EXPECT_EQ(v.handlerType, "vide");
  EXPECT_EQ(v.handlerName, "Video");
  EXPECT_EQ(a2.handlerName, "Microphone");
  EXPECT_EQ(a1.handlerName, "Desktop");
  EXPECT_EQ(v.trackId, 1u);
  EXPECT_EQ(a1.trackId, 2u);
  EXPECT_EQ(a2.trackId, 3u);
  EXPECT_EQ(v.tkhdFlags, 3u);
  EXPECT_EQ(a1.tkhdFlags, 3u);
  EXPECT_EQ(a2.tkhdFlags, 2u);
  EXPECT_EQ(v.alternateGroup, 0);
  EXPECT_EQ(v.volume, 0);
  EXPECT_EQ(v.widthFixed, 1920u << 16);
  EXPECT_EQ(v.heightFixed, 1080u << 16);
  EXPECT_EQ(a1.alternateGroup, 1);
  EXPECT_EQ(a1.volume, 0x0100);
  EXPECT_EQ(a1.widthFixed, 0u);
  EXPECT_EQ(v.timescale, 90000u);
  EXPECT_EQ(a1.timescale, 48000u);
  EXPECT_EQ(a2.timescale, 44100u);
  for (const Mp4Track& t : p.tracks) {
    EXPECT_EQ(t.language, 0x55C4);
    EXPECT_FALSE(t.hasEdts);
    EXPECT_EQ(t.stsc, (std::vector<uint32_t>{1, 1, 1, 1}));
  }
  EXPECT_EQ(v.stss, (std::vector<uint32_t>{1}));
  EXPECT_FALSE(a1.hasStss);

  const std::vector<const test::Mp4Box*> traks = p.file.Traks();
  const test::Mp4Box* vminf = traks[0]->Find("mdia/minf");
  EXPECT_EQ(vminf->ChildTypes(), (std::vector<std::string>{"vmhd", "dinf", "stbl"}));
  EXPECT_EQ(vminf->Find("stbl")->ChildTypes(),
            (std::vector<std::string>{"stsd", "stts", "stss", "stsc", "stsz", "co64"}));
  EXPECT_EQ(p.file.Raw(*vminf->Child("vmhd")), std::string("\0\0\0\x14vmhd\0\0\0\x01\0\0\0\0\0\0\0\0", 20));
  EXPECT_EQ(p.file.Raw(*vminf->Child("dinf")),
            std::string("\0\0\0\x24" "dinf\0\0\0\x1c" "dref\0\0\0\0\0\0\0\x01\0\0\0\x0c" "url \0\0\0\x01", 36));
  const test::Mp4Box* aminf = traks[1]->Find("mdia/minf");
  EXPECT_EQ(aminf->ChildTypes(), (std::vector<std::string>{"smhd", "dinf", "stbl"}));
  EXPECT_EQ(p.file.Raw(*aminf->Child("smhd")), std::string("\0\0\0\x10smhd\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(aminf->Find("stbl")->ChildTypes(), (std::vector<std::string>{"stsd", "stts", "stsc", "stsz", "co64"}));

  std::string error;
  test::Mp4VideoEntry avc;
  ASSERT_TRUE(test::ReadVideoEntry(p.file, *traks[0], &avc, &error)) << error;
  EXPECT_EQ(avc.width, 1920);
  EXPECT_EQ(avc.height, 1080);
  EXPECT_EQ(avc.compressorName, "Kaptora");
  EXPECT_EQ(avc.depth, 0x18);
  EXPECT_EQ(avc.sps, MakeVideo().sps);
  EXPECT_EQ(avc.pps, MakeVideo().pps);
  EXPECT_EQ(std::vector<uint8_t>(avc.avcC.begin(), avc.avcC.begin() + 6),
            (std::vector<uint8_t>{1, 100, 0x40, 0x2A, 0xFF, 0xE1}));
  EXPECT_EQ(avc.colr, (std::vector<uint8_t>{'n', 'c', 'l', 'x', 0, 1, 0, 1, 0, 1, 0}));
  test::BeReader avc1 = p.file.Content(*traks[0]->Find("mdia/minf/stbl/stsd/avc1"));
  avc1.Skip(6);
  EXPECT_EQ(avc1.U16(), 1);  // data reference index
  avc1.Skip(16 + 4);
  EXPECT_EQ(avc1.U32(), 0x00480000u);
  EXPECT_EQ(avc1.U32(), 0x00480000u);
  EXPECT_EQ(avc1.U32(), 0u);
  EXPECT_EQ(avc1.U16(), 1);  // frame count
  avc1.Skip(32 + 2);
  EXPECT_EQ(avc1.U16(), 0xFFFF);

  test::Mp4AudioEntry mp4a;
  ASSERT_TRUE(test::ReadAudioEntry(p.file, *traks[1], &mp4a, &error)) << error;
  EXPECT_EQ(mp4a.channels, 2);
  EXPECT_EQ(mp4a.sampleSize, 16);
  EXPECT_EQ(mp4a.sampleRateFixed, 44100u << 16);
  EXPECT_EQ(mp4a.esId, 3);
  EXPECT_EQ(mp4a.objectType, 0x40);
  EXPECT_EQ(mp4a.streamType, 0x15);
  EXPECT_EQ(mp4a.bufferSizeDB, 280u);
  EXPECT_EQ(mp4a.decoderSpecificInfo, (std::vector<uint8_t>{0x11, 0x90}));
  EXPECT_EQ(mp4a.slConfig, (std::vector<uint8_t>{0x02}));
  ASSERT_TRUE(test::ReadAudioEntry(p.file, *traks[2], &mp4a, &error)) << error;
  EXPECT_EQ(mp4a.esId, 2);
  EXPECT_EQ(mp4a.sampleRateFixed, 48000u << 16);
}

TEST_F(Mp4WriterTest, AvcCarriesChromaFieldsOnlyForHighProfiles) {
  const std::map<uint8_t, bool> cases = {{66, false}, {77, false}, {88, false}, {100, true},
                                         {110, true}, {122, true}, {144, true}, {244, false}};
  for (const auto& [profile, extended] : cases) {
    SCOPED_TRACE(static_cast<int>(profile));
    Mp4Writer writer;
    writer.AddSample(writer.AddVideoTrack(MakeVideo(profile)), MakePacket(kBase, 166'667, true, 10, 1));
    ASSERT_TRUE(writer.Write(path_));
    Parsed p;
    ASSERT_TRUE(ParseFile(path_, &p));
    test::Mp4VideoEntry avc;
    std::string error;
    ASSERT_TRUE(test::ReadVideoEntry(p.file, *p.file.Traks()[0], &avc, &error)) << error;
    EXPECT_EQ(avc.avcC[1], profile);
    const std::vector<uint8_t> tail = extended ? std::vector<uint8_t>{0xFD, 0xF8, 0xF8, 0x00} : std::vector<uint8_t>();
    EXPECT_EQ(avc.avcCTail, tail);
  }
}

// Samples are laid out by pts, ties by track index, and every chunk offset
// points at exactly that packet's bytes.
TEST_F(Mp4WriterTest, InterleavesPayloadByTimeAndOffsetsPointAtPackets) {
  Mp4Writer writer;
  const int video = writer.AddVideoTrack(MakeVideo());
  const int audio = writer.AddAudioTrack(MakeAudio("A"));
  // Added out of time order across tracks; audio at 0 and 1 s ties with video.
  std::vector<std::shared_ptr<const EncodedPacket>> a = {MakePacket(kBase, kSecond / 2, true, 11, 10),
                                                         MakePacket(kBase + kSecond / 2, kSecond / 2, true, 12, 11),
                                                         MakePacket(kBase + kSecond, kSecond / 2, true, 13, 12)};
  std::vector<std::shared_ptr<const EncodedPacket>> v = {MakePacket(kBase, kSecond, true, 100, 20),
                                                         MakePacket(kBase + kSecond, kSecond, false, 200, 21)};
  for (const auto& packet : a) writer.AddSample(audio, packet);
  for (const auto& packet : v) writer.AddSample(video, packet);
  ASSERT_TRUE(writer.Write(path_));

  Parsed p;
  ASSERT_TRUE(ParseFile(path_, &p));
  const test::Mp4Box* mdat = p.file.Find("mdat");
  ASSERT_NE(mdat, nullptr);
  EXPECT_EQ(mdat->headerSize, 8u);
  EXPECT_EQ(mdat->size, 8u + 100 + 11 + 12 + 200 + 13);
  EXPECT_EQ(mdat->offset + mdat->size, p.file.bytes().size());
  const uint64_t start = mdat->payloadOffset();
  // Expected order: v0 (track 0), a0, a1, v1 (track 0 wins the tie at 1 s), a2.
  EXPECT_EQ(p.tracks[0].offsets, (std::vector<uint64_t>{start, start + 123}));
  EXPECT_EQ(p.tracks[1].offsets, (std::vector<uint64_t>{start + 100, start + 111, start + 323}));
  EXPECT_EQ(p.tracks[0].sizes, (std::vector<uint32_t>{100, 200}));
  EXPECT_EQ(p.tracks[1].sizes, (std::vector<uint32_t>{11, 12, 13}));
  auto check = [&](const Mp4Track& track, const std::vector<std::shared_ptr<const EncodedPacket>>& packets) {
    for (size_t i = 0; i < packets.size(); ++i) {
      std::string stored = p.file.bytes().substr(track.offsets[i], track.sizes[i]);
      EXPECT_EQ(stored, std::string(packets[i]->data.begin(), packets[i]->data.end())) << "sample " << i;
    }
  };
  check(p.tracks[0], v);
  check(p.tracks[1], a);
  EXPECT_EQ(p.tracks[0].stss, (std::vector<uint32_t>{1}));
}

// The streaming form: offsets are the caller's, plus the payload start, even
// when the payload holds bytes that belong to no sample.
TEST_F(Mp4WriterTest, StreamedPayloadKeepsCallerOffsets) {
  Mp4Writer writer;
  const int video = writer.AddVideoTrack(MakeVideo());
  std::string payload(1000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  const uint64_t offsets[] = {40, 500, 700};
  const uint32_t sizes[] = {300, 150, 290};
  for (int i = 0; i < 3; ++i) {
    SampleEntry entry;
    entry.pts = kBase + i * kSecond;
    entry.duration = kSecond;
    entry.keyframe = i != 1;
    entry.size = sizes[i];
    entry.mdatOffset = offsets[i];
    writer.AddSample(video, entry);
  }
  int calls = 0;
  ASSERT_TRUE(writer.Write(path_, payload.size(), [&](const ByteSink& sink) {
    // Uneven pieces, including an empty one.
    const size_t cuts[] = {0, 1, 1, 333, 1000};
    for (size_t i = 0; i + 1 < std::size(cuts); ++i) {
      ++calls;
      if (!sink(payload.data() + cuts[i], cuts[i + 1] - cuts[i])) return false;
    }
    return true;
  }));
  EXPECT_EQ(calls, 4);
  Parsed p;
  ASSERT_TRUE(ParseFile(path_, &p));
  const uint64_t start = p.file.Find("mdat")->payloadOffset();
  EXPECT_EQ(p.file.bytes().substr(start), payload);
  ASSERT_EQ(p.tracks.size(), 1u);
  EXPECT_EQ(p.tracks[0].offsets, (std::vector<uint64_t>{start + 40, start + 500, start + 700}));
  EXPECT_EQ(p.tracks[0].stss, (std::vector<uint32_t>{1, 3}));
}

// --- Timing -----------------------------------------------------------------

struct TimingCase {
  const char* name;
  std::vector<int64_t> pts;  // relative to kBase, ticks
  int64_t lastDuration;      // ticks
  std::vector<uint32_t> durations;  // expected, 90 kHz units
};

TEST_F(Mp4WriterTest, SampleDurationsFollowTimingRules) {
  const TimingCase cases[] = {
      // 166,667 ticks -> 1500.5 units truncates to 1500; 333,334 -> 3000.
      {"steady 60 fps", {0, 166'667, 333'334, 500'001}, 166'667, {1500, 1500, 1500, 1500}},
      {"equal pts gets 1, later times kept", {0, 0, 2'000'000}, 1'000'000, {1, 17'999, 9000}},
      {"inverted pts still advance", {0, 1'000'000, 500'000, 2'000'000}, 1'000'000, {9000, 1, 8999, 9000}},
      {"single sample, zero duration", {0}, 0, {1}},
      {"single sample, duration under half a unit", {0}, 50, {1}},
      {"last duration under one unit repeats the previous", {0, 1'000'000, 3'000'000}, 0, {9000, 18'000, 18'000}},
      {"negative last duration repeats the previous", {0, 1'000'000}, -400'000, {9000, 9000}},
      {"rounding to nearest", {0, 1'111, 5'556}, 5'555, {10, 40, 50}},
  };
  for (const TimingCase& c : cases) {
    SCOPED_TRACE(c.name);
    Mp4Writer writer;
    const int video = writer.AddVideoTrack(MakeVideo());
    for (size_t i = 0; i < c.pts.size(); ++i) {
      const int64_t duration = i + 1 == c.pts.size() ? c.lastDuration : 166'667;
      writer.AddSample(video, MakePacket(kBase + c.pts[i], duration, i == 0, 10, 1));
    }
    ASSERT_TRUE(writer.Write(path_));
    Parsed p;
    ASSERT_TRUE(ParseFile(path_, &p));
    EXPECT_EQ(p.tracks[0].Durations(), c.durations);
    const uint64_t sum = std::accumulate(c.durations.begin(), c.durations.end(), uint64_t{0});
    EXPECT_EQ(p.tracks[0].mediaDuration, sum);
    EXPECT_EQ(p.tracks[0].tkhdDuration, sum * 1000 / 90000);
    EXPECT_EQ(MvhdField(p, 16), sum * 1000 / 90000);
  }
}

TEST_F(Mp4WriterTest, MergesEqualDurationsIntoSttsRuns) {
  Mp4Writer writer;
  const int video = writer.AddVideoTrack(MakeVideo());
  // Units: 0, 1500, 3000, 4501, 6001, 7501 -> 1500, 1500, 1501, 1500, 1500, last 1500.
  const int64_t pts[] = {0, 166'667, 333'333, 500'111, 666'778, 833'444};
  for (int64_t t : pts) writer.AddSample(video, MakePacket(kBase + t, 166'667, false, 10, 1));
  ASSERT_TRUE(writer.Write(path_));
  Parsed p;
  ASSERT_TRUE(ParseFile(path_, &p));
  using Run = std::pair<uint32_t, uint32_t>;
  EXPECT_EQ(p.tracks[0].stts, (std::vector<Run>{{2, 1500}, {1, 1501}, {3, 1500}}));
  EXPECT_TRUE(p.tracks[0].hasStss);
  EXPECT_TRUE(p.tracks[0].stss.empty());
}

// The base time is the earliest first sample of any track; a track that
// starts later gets an empty edit of that length, the other none.
TEST_F(Mp4WriterTest, LateTrackGetsEmptyEditAndMovieSpansAllTracks) {
  Mp4Writer writer;
  const int video = writer.AddVideoTrack(MakeVideo());
  const int audio = writer.AddAudioTrack(MakeAudio("Desktop"));
  for (int i = 0; i < 4; ++i) writer.AddSample(video, MakePacket(kBase + i * kSecond, kSecond, i == 0, 50, 1));
  // 2.5 s after the base, then 1 s of audio (48 kHz units).
  for (int i = 0; i < 4; ++i) {
    writer.AddSample(audio, MakePacket(kBase + 25'000'000 + i * 2'500'000, 2'500'000, true, 20, 2));
  }
  ASSERT_TRUE(writer.Write(path_));
  Parsed p;
  ASSERT_TRUE(ParseFile(path_, &p));
  const Mp4Track& v = p.tracks[0];
  const Mp4Track& a = p.tracks[1];
  EXPECT_FALSE(v.hasEdts);
  EXPECT_EQ(v.tkhdDuration, 4000u);
  ASSERT_TRUE(a.hasEdts);
  ASSERT_EQ(a.elst.size(), 2u);
  EXPECT_EQ(a.elst[0].segmentDuration, 2500u);
  EXPECT_EQ(a.elst[0].mediaTime, 0xFFFFFFFFu);
  EXPECT_EQ(a.elst[0].mediaRate, 0x00010000u);
  EXPECT_EQ(a.elst[1].segmentDuration, 1000u);
  EXPECT_EQ(a.elst[1].mediaTime, 0u);
  EXPECT_EQ(a.elst[1].mediaRate, 0x00010000u);
  EXPECT_EQ(a.mediaDuration, 48000u);
  EXPECT_EQ(a.tkhdDuration, 3500u);
  EXPECT_EQ(p.file.Traks()[1]->ChildTypes(), (std::vector<std::string>{"tkhd", "edts", "mdia"}));
  EXPECT_EQ(MvhdField(p, 16), 4000u);  // the longest track end
}

TEST_F(Mp4WriterTest, EarlierAudioMakesTheVideoTrackLate) {
  Mp4Writer writer;
  const int video = writer.AddVideoTrack(MakeVideo());
  const int audio = writer.AddAudioTrack(MakeAudio("Desktop"));
  writer.AddSample(audio, MakePacket(kBase - 1'000'000, 1'000'000, true, 20, 2));
  writer.AddSample(video, MakePacket(kBase, kSecond, true, 50, 1));
  ASSERT_TRUE(writer.Write(path_));
  Parsed p;
  ASSERT_TRUE(ParseFile(path_, &p));
  ASSERT_TRUE(p.tracks[0].hasEdts);
  EXPECT_EQ(p.tracks[0].elst[0].segmentDuration, 100u);
  EXPECT_EQ(p.tracks[0].tkhdDuration, 1100u);
  EXPECT_FALSE(p.tracks[1].hasEdts);
}

// --- Audio bit rates ----------------------------------------------------------

// Samples 0.1 s apart at 48 kHz; ten of them make exactly one second of
// media, so the average rate is 8 x the bytes per second.
void AddSecondOfAudio(Mp4Writer& writer, int track, std::vector<size_t> sizes) {
  for (size_t i = 0; i < sizes.size(); ++i) {
    writer.AddSample(track, MakePacket(kBase + static_cast<int64_t>(i) * 1'000'000, 1'000'000, true, sizes[i], 5));
  }
}

test::Mp4AudioEntry ReadEsds(const Parsed& p, size_t trakIndex) {
  test::Mp4AudioEntry entry;
  std::string error;
  EXPECT_TRUE(test::ReadAudioEntry(p.file, *p.file.Traks()[trakIndex], &entry, &error)) << error;
  return entry;
}

// The first audio track must advertise a strictly higher average rate than
// every other audio track; its peak is raised only as far as needed.
TEST_F(Mp4WriterTest, FirstAudioTrackAdvertisesTheHighestAverageRate) {
  struct Case {
    const char* name;
    std::vector<size_t> first, second;  // sample sizes, 0.1 s apart
    uint32_t firstAvg, firstMax, secondAvg, secondMax;
  };
  const Case cases[] = {
      {"lower first is raised", std::vector<size_t>(10, 1600), std::vector<size_t>(10, 1625),
       130'001, 130'001, 130'000, 130'000},
      {"equal first is raised", std::vector<size_t>(10, 1600), std::vector<size_t>(10, 1600),
       128'001, 128'001, 128'000, 128'000},
      {"higher first is kept", std::vector<size_t>(10, 1625), std::vector<size_t>(10, 1600),
       130'000, 130'000, 128'000, 128'000},
      // 2 s: 30,000 bytes in the first second, 2,000 in the next.
      {"a higher peak is kept", {3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000,
                                 200, 200, 200, 200, 200, 200, 200, 200, 200, 200},
       std::vector<size_t>(20, 1625), 130'001, 240'000, 130'000, 130'000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Mp4Writer writer;
    const int first = writer.AddAudioTrack(MakeAudio("Desktop"));
    const int second = writer.AddAudioTrack(MakeAudio("Microphone"));
    AddSecondOfAudio(writer, first, c.first);
    AddSecondOfAudio(writer, second, c.second);
    ASSERT_TRUE(writer.Write(path_));
    Parsed p;
    ASSERT_TRUE(ParseFile(path_, &p));
    // trak order: the second track (index 1) first, then the first.
    const test::Mp4AudioEntry secondEsds = ReadEsds(p, 0);
    const test::Mp4AudioEntry firstEsds = ReadEsds(p, 1);
    EXPECT_EQ(firstEsds.avgBitrate, c.firstAvg);
    EXPECT_EQ(firstEsds.maxBitrate, c.firstMax);
    EXPECT_EQ(secondEsds.avgBitrate, c.secondAvg);
    EXPECT_EQ(secondEsds.maxBitrate, c.secondMax);
    EXPECT_EQ(firstEsds.bufferSizeDB, *std::max_element(c.first.begin(), c.first.end()));
    EXPECT_EQ(secondEsds.bufferSizeDB, *std::max_element(c.second.begin(), c.second.end()));
  }
}

// The peak is the largest one-second window starting at a sample; a sample
// exactly one second later is outside it.
TEST_F(Mp4WriterTest, PeakRateUsesHalfOpenOneSecondWindows) {
  Mp4Writer writer;
  const int audio = writer.AddAudioTrack(MakeAudio("Desktop"));
  std::vector<size_t> sizes(20, 100);
  for (int i = 5; i < 15; ++i) sizes[i] = 1000;
  sizes[15] = 400;  // at exactly +1 s from sample 5
  AddSecondOfAudio(writer, audio, sizes);
  ASSERT_TRUE(writer.Write(path_));
  Parsed p;
  ASSERT_TRUE(ParseFile(path_, &p));
  const test::Mp4AudioEntry esds = ReadEsds(p, 0);
  // Window from sample 6: 9 x 1000 + 400 = 9,400 bytes; from sample 5: 10,000.
  EXPECT_EQ(esds.maxBitrate, 80'000u);
  // 11,300 bytes over 2 s; the single track is the first audio track and
  // already above the (absent) others.
  EXPECT_EQ(esds.avgBitrate, 45'200u);
  EXPECT_EQ(esds.bufferSizeDB, 1000u);
}

// --- Tracks without samples, names ------------------------------------------

TEST_F(Mp4WriterTest, TrackWithoutSamplesHasNoTrakButCountsInNextTrackId) {
  Mp4Writer writer;
  const int video = writer.AddVideoTrack(MakeVideo());
  writer.AddAudioTrack(MakeAudio("Silent"));
  const int mic = writer.AddAudioTrack(MakeAudio(""));
  writer.AddSample(video, MakePacket(kBase, kSecond, true, 10, 1));
  writer.AddSample(mic, MakePacket(kBase, kSecond, true, 10, 2));
  ASSERT_TRUE(writer.Write(path_));
  Parsed p;
  ASSERT_TRUE(ParseFile(path_, &p));
  ASSERT_EQ(p.tracks.size(), 2u);
  EXPECT_EQ(MvhdField(p, 96), 4u);  // next_track_ID: three tracks + 1
  EXPECT_EQ(p.tracks[1].trackId, 2u);
  EXPECT_EQ(p.tracks[1].tkhdFlags, 3u);  // the first audio track that has samples
  EXPECT_EQ(ReadEsds(p, 1).esId, 2);
  // The empty name is a single zero byte.
  EXPECT_EQ(p.tracks[1].handlerName, "");
  EXPECT_EQ(p.tracks[1].handlerNameBytes, 1u);
}

// --- mdat header boundary -------------------------------------------------------

// Built without the payload: the header alone decides the mdat form.
TEST(Mp4HeaderTest, MdatHeaderGrowsWhenTheSizeNoLongerFits32Bits) {
  const VideoTrackInfo video = MakeVideo();
  std::vector<SampleEntry> samples(2);
  samples[0].pts = kBase;
  samples[0].duration = kSecond;
  samples[0].keyframe = true;
  samples[0].size = 0x10000;
  samples[1] = samples[0];
  samples[1].pts = kBase + kSecond;
  samples[1].mdatOffset = 0xFFFFFFF7ull - 0x10000;
  Mp4TrackView view;
  view.video = &video;
  view.timescale = 90000;
  view.samples = samples;

  struct Case {
    uint64_t payloadSize;
    uint32_t headerSize;
  };
  std::vector<uint64_t> payloadStarts;
  for (const Case c : {Case{0xFFFFFFF7ull, 8}, Case{0xFFFFFFF8ull, 16}}) {
    SCOPED_TRACE(c.payloadSize);
    ByteBuilder header;
    ASSERT_TRUE(BuildMp4Header(std::span(&view, 1), c.payloadSize, header));
    Parsed p;
    ASSERT_TRUE(ParseBytes(std::string(header.bytes().begin(), header.bytes().end()), &p, true));
    const test::Mp4Box* mdat = p.file.Find("mdat");
    ASSERT_NE(mdat, nullptr);
    EXPECT_EQ(mdat->headerSize, c.headerSize);
    EXPECT_EQ(mdat->size, c.payloadSize + c.headerSize);
    EXPECT_EQ(mdat->payloadOffset(), header.size());
    test::BeReader r(header.bytes().data() + mdat->offset, c.headerSize);
    EXPECT_EQ(r.U32(), c.headerSize == 8 ? 0xFFFFFFFFu : 1u);
    EXPECT_EQ(r.Str(4), "mdat");
    if (c.headerSize == 16) {
      EXPECT_EQ(r.U64(), 0xFFFFFFF8ull + 16);
    }
    EXPECT_EQ(p.tracks[0].offsets, (std::vector<uint64_t>{header.size(), header.size() + samples[1].mdatOffset}));
    payloadStarts.push_back(header.size());
  }
  ASSERT_EQ(payloadStarts.size(), 2u);
  EXPECT_EQ(payloadStarts[1], payloadStarts[0] + 8);  // moov itself did not change size
}

TEST(Mp4HeaderTest, NothingToPlanWithoutSamples) {
  const AudioTrackInfo audio = MakeAudio("A");
  Mp4TrackView view;
  view.audio = &audio;
  view.timescale = 48000;
  ByteBuilder header;
  EXPECT_FALSE(BuildMp4Header(std::span(&view, 1), 0, header));
  EXPECT_EQ(header.size(), 0u);
}

// --- Files and failures -----------------------------------------------------------

Mp4Writer& FillSmall(Mp4Writer& writer) {
  const int video = writer.AddVideoTrack(MakeVideo());
  for (int i = 0; i < 3; ++i) writer.AddSample(video, MakePacket(kBase + i * kSecond, kSecond, i == 0, 1000, 1));
  return writer;
}

TEST_F(Mp4WriterTest, NothingToWriteTouchesNoFile) {
  test::FaultFiles files;
  test::LogCapture log;
  Mp4Writer empty(files);
  EXPECT_FALSE(empty.Write(path_));
  Mp4Writer noSamples(files);
  noSamples.AddVideoTrack(MakeVideo());
  noSamples.AddAudioTrack(MakeAudio("A"));
  EXPECT_FALSE(noSamples.Write(path_, 0, [](const ByteSink&) { return true; }));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"mp4: nothing to write", "mp4: nothing to write"}));
  EXPECT_EQ(files.createCalls(), 0);
  EXPECT_FALSE(test::FileExists(path_));
}

// Profile and level come from SPS bytes 1 to 3: a shorter SPS would make a
// file no player can decode, even one whose audio tracks are fine.
TEST_F(Mp4WriterTest, ShortSpsIsRefusedWhereTheTrackIsAdded) {
  test::FaultFiles files;
  test::LogCapture log;
  Mp4Writer writer(files);
  VideoTrackInfo video = MakeVideo();
  video.sps.resize(3);
  EXPECT_EQ(writer.AddVideoTrack(video), -1);
  const int audio = writer.AddAudioTrack(MakeAudio("A"));
  writer.AddSample(-1, MakePacket(kBase, kSecond, true, 1000, 1));
  writer.AddSample(audio, MakePacket(kBase, kSecond / 50, true, 100, 2));
  EXPECT_FALSE(writer.Write(path_));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"mp4: video track refused, SPS of 3 bytes is too short"}));
  EXPECT_EQ(files.createCalls(), 0);
  EXPECT_FALSE(test::FileExists(path_));
}

TEST_F(Mp4WriterTest, CreateFailureIsLoggedWithTheSystemCode) {
  test::FaultFiles files;
  files.FailCreate(L".part", kErrorAccessDenied);
  test::LogCapture log;
  Mp4Writer writer(files);
  EXPECT_FALSE(FillSmall(writer).Write(path_));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"mp4: cannot create output file (error 5)"}));
  EXPECT_FALSE(test::FileExists(path_));
}

// Each failure after the ".part" file exists removes it and leaves an older
// file under the target name as it was.
TEST_F(Mp4WriterTest, FailuresRemoveThePartFileAndKeepTheOldTarget) {
  struct Case {
    const char* name;
    std::function<void(test::FaultFiles&)> arrange;
    int64_t payloadDelta;  // bytes the producer delivers beyond payloadSize
    bool producerResult;
  };
  const Case cases[] = {
      {"write fails", [](test::FaultFiles& f) { f.FailWritesAfter(L".part", 100); }, 0, true},
      {"producer one byte short", [](test::FaultFiles&) {}, -1, true},
      {"producer one byte long", [](test::FaultFiles&) {}, 1, true},
      {"producer reports failure", [](test::FaultFiles&) {}, 0, false},
      {"rename fails", [](test::FaultFiles& f) { f.FailRename(L"clip.mp4"); }, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::WriteFileBytes(path_, "previous clip");
    test::FaultFiles files;
    c.arrange(files);
    test::LogCapture log;
    Mp4Writer writer(files);
    SampleEntry entry;
    entry.pts = kBase;
    entry.duration = kSecond;
    entry.keyframe = true;
    entry.size = 5000;
    writer.AddSample(writer.AddVideoTrack(MakeVideo()), entry);
    const std::string payload(static_cast<size_t>(5000 + c.payloadDelta), 'x');
    EXPECT_FALSE(writer.Write(path_, 5000, [&](const ByteSink& sink) {
      return sink(payload.data(), payload.size()) && c.producerResult;
    }));
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"mp4: write failed"}));
    EXPECT_FALSE(test::FileExists(partPath_));
    EXPECT_EQ(test::ReadFileBytes(path_), "previous clip");
  }
}

// A write that fails while the producer is still running makes the sink
// refuse, so the producer stops early.
TEST_F(Mp4WriterTest, SinkRefusesAfterAFailedBufferWrite) {
  test::FaultFiles files;
  files.FailWritesAfter(L".part", 4 << 20);
  test::LogCapture log;
  Mp4Writer writer(files);
  SampleEntry entry;
  entry.pts = kBase;
  entry.keyframe = true;
  entry.size = 20 << 20;
  writer.AddSample(writer.AddVideoTrack(MakeVideo()), entry);
  const std::vector<char> piece(1 << 20, 'p');
  int accepted = 0;
  int refused = 0;
  EXPECT_FALSE(writer.Write(path_, entry.size, [&](const ByteSink& sink) {
    for (int i = 0; i < 20; ++i) {
      if (!sink(piece.data(), piece.size())) {
        ++refused;
        if (!sink(piece.data(), 1)) ++refused;  // stays refused
        return false;
      }
      ++accepted;
    }
    return true;
  }));
  // The first full 8 MiB buffer is completed by the eighth piece (the header
  // sits before the payload), and that write exceeds the budget.
  EXPECT_EQ(accepted, 7);
  EXPECT_EQ(refused, 2);
  EXPECT_TRUE(log.Has("mp4: write failed"));
  EXPECT_FALSE(test::FileExists(partPath_));
}

TEST_F(Mp4WriterTest, StalePartFileIsOverwritten) {
  test::WriteFileBytes(partPath_, std::string(100'000, 'z'));
  Mp4Writer writer;
  ASSERT_TRUE(FillSmall(writer).Write(path_));
  EXPECT_FALSE(test::FileExists(partPath_));
  const std::string written = test::ReadFileBytes(path_);
  Parsed p;
  ASSERT_TRUE(ParseBytes(written, &p));  // exact sizes: no stale tail
  test::TempFolder other;
  Mp4Writer again;
  ASSERT_TRUE(FillSmall(again).Write(other.File(L"clip.mp4")));
  EXPECT_EQ(written, test::ReadFileBytes(other.File(L"clip.mp4")));
}

// A Files that keeps nothing but records how the writer uses it: creation
// options, preallocation, write sizes, rename and attributes.
class RecordingFiles : public Files {
 public:
  struct Record {
    CreateOptions options;
    uint64_t preallocated = 0;
    std::vector<size_t> writes;
    uint64_t bytes = 0;
    bool closed = false;
  };
  std::map<std::wstring, Record> files;
  std::vector<std::string> calls;

  IoStatus Create(const std::wstring& path, const CreateOptions& options, std::unique_ptr<File>* out) override {
    calls.push_back("create");
    Record& record = files[path];
    record = Record();
    record.options = options;
    *out = std::make_unique<RecordingFile>(record);
    return IoStatus::Success();
  }
  IoStatus OpenForRead(const std::wstring&, std::unique_ptr<File>*) override {
    return IoStatus::Failure(kErrorFileNotFound);
  }
  IoStatus ReplaceRename(const std::wstring& from, const std::wstring& to) override {
    calls.push_back("rename");
    files[to] = files[from];
    files.erase(from);
    return IoStatus::Success();
  }
  IoStatus Delete(const std::wstring& path) override {
    calls.push_back("delete");
    files.erase(path);
    return IoStatus::Success();
  }
  IoStatus SetHidden(const std::wstring& path, bool hidden) override {
    calls.push_back("hidden " + std::to_string(hidden));
    if (files.count(path) != 0) files[path].options.hidden = hidden;
    return IoStatus::Success();
  }
  IoStatus CreateFolderChain(const std::wstring&) override { return IoStatus::Success(); }
  IoStatus ListFiles(const std::wstring&, std::vector<std::wstring>*) override { return IoStatus::Success(); }
  IoStatus FreeSpace(const std::wstring&, uint64_t* bytes) override {
    *bytes = 1ull << 40;
    return IoStatus::Success();
  }
  FileInfo Stat(const std::wstring& path) override {
    FileInfo info;
    auto it = files.find(path);
    if (it != files.end()) {
      info.exists = true;
      info.size = it->second.bytes;
    }
    return info;
  }

 private:
  class RecordingFile : public File {
   public:
    explicit RecordingFile(Record& record) : record_(record) {}
    IoStatus Write(const void*, size_t size) override {
      record_.writes.push_back(size);
      record_.bytes += size;
      return IoStatus::Success();
    }
    IoStatus Read(void*, size_t, size_t* bytesRead) override {
      *bytesRead = 0;
      return IoStatus::Success();
    }
    IoStatus Seek(uint64_t) override { return IoStatus::Success(); }
    IoStatus Size(uint64_t* size) override {
      *size = record_.bytes;
      return IoStatus::Success();
    }
    IoStatus Preallocate(uint64_t size) override {
      record_.preallocated = size;
      return IoStatus::Success();
    }
    IoStatus Close() override {
      record_.closed = true;
      return IoStatus::Success();
    }

   private:
    Record& record_;
  };
};

// 140 MiB streamed in 1 MiB pieces into a hidden ".part" beside the target:
// reports after 64 and 128 MiB (plus the header), then 1.0; the file sees
// only full 8 MiB writes and one remainder.
TEST(Mp4WriterIoTest, StreamsThroughAnEightMebibyteBufferWithProgress) {
  constexpr size_t kMiB = 1 << 20;
  RecordingFiles files;
  Mp4Writer writer(files);
  const int video = writer.AddVideoTrack(MakeVideo());
  for (int i = 0; i < 140; ++i) {
    SampleEntry entry;
    entry.pts = kBase + i * 166'667;
    entry.duration = 166'667;
    entry.keyframe = i % 120 == 0;
    entry.size = kMiB;
    entry.mdatOffset = uint64_t{kMiB} * i;
    writer.AddSample(video, entry);
  }
  std::vector<double> progress;
  writer.onProgress = [&](double fraction) { progress.push_back(fraction); };
  const std::vector<uint8_t> piece(kMiB, 0xAB);
  const std::wstring target = L"dir/out.mp4";
  bool hiddenPartWhileWriting = false;
  ASSERT_TRUE(writer.Write(target, 140 * kMiB, [&](const ByteSink& sink) {
    auto part = files.files.find(L"dir/out.mp4.part");
    hiddenPartWhileWriting = part != files.files.end() && part->second.options.hidden;
    for (int i = 0; i < 140; ++i) {
      if (!sink(piece.data(), piece.size())) return false;
    }
    return true;
  }));

  EXPECT_TRUE(hiddenPartWhileWriting);
  EXPECT_EQ(files.calls, (std::vector<std::string>{"create", "rename", "hidden 0"}));
  ASSERT_EQ(files.files.size(), 1u);
  ASSERT_EQ(files.files.count(target), 1u);
  const RecordingFiles::Record& record = files.files[target];
  EXPECT_TRUE(record.options.hidden == false);  // cleared after the rename
  EXPECT_TRUE(record.options.sequential);
  EXPECT_EQ(record.options.mode, CreateMode::kTruncate);
  EXPECT_TRUE(record.closed);
  const uint64_t total = record.bytes;
  const uint64_t header = total - 140 * kMiB;
  EXPECT_LT(header, 64 * 1024u);
  EXPECT_EQ(record.preallocated, total);
  const size_t kBuffer = 8 * kMiB;
  ASSERT_EQ(record.writes.size(), (total + kBuffer - 1) / kBuffer);
  for (size_t i = 0; i + 1 < record.writes.size(); ++i) EXPECT_EQ(record.writes[i], kBuffer);
  EXPECT_EQ(record.writes.back(), total % kBuffer);

  ASSERT_EQ(progress.size(), 3u);
  EXPECT_DOUBLE_EQ(progress[0], static_cast<double>(header + 64 * kMiB) / static_cast<double>(total));
  EXPECT_DOUBLE_EQ(progress[1], static_cast<double>(header + 128 * kMiB) / static_cast<double>(total));
  EXPECT_EQ(progress[2], 1.0);
}

}  // namespace
}  // namespace kp
