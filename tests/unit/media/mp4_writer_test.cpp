// The MP4 writer, read back with the strict box reader of tests/support:
// layout, sample tables against the packets pushed, timing and bit-rate
// rules, the mdat header boundary, and the ".part" handling under faults.
#include "media/mp4_writer.h"

#include <gtest/gtest.h>

#include "media/mp4_boxes.h"
#include "support/fake_clock.h"
#include "support/fault_files.h"
#include "support/log_capture.h"
#include "support/mp4_box_reader.h"
#include "support/temp_folder.h"

namespace kp {
namespace {

using test::Mp4Track;
using Bytes = std::vector<uint8_t>;
using U64s = std::vector<uint64_t>;

constexpr int64_t kSecond = 10'000'000;
constexpr int64_t kBase = 123 * kSecond;  // an arbitrary clock reading

VideoTrackInfo MakeVideo(uint8_t profile = 100) {
  return {0, 1920, 1080, 60, {0x67, profile, 0x40, 0x2A, 0xAC, 0x2B, 0x40, 0x3C}, {0x68, 0xEE, 0x3C, 0xB0}};
}

AudioTrackInfo MakeAudio(std::string name, uint32_t rate = 48000) { return {std::move(name), rate, 2, {0x11, 0x90}}; }

// Payload bytes derived from a tag, so a misplaced chunk offset shows.
std::shared_ptr<const EncodedPacket> MakePacket(int64_t pts, int64_t duration, bool keyframe, size_t size,
                                                uint8_t tag = 1) {
  auto packet = std::make_shared<EncodedPacket>(EncodedPacket{pts, duration, keyframe, {}});
  for (size_t i = 0; i < size; ++i) packet->data.push_back(static_cast<uint8_t>(tag * 31 + i));
  return packet;
}

SampleEntry Streamed(int64_t pts, uint32_t size, uint64_t offset = 0, bool keyframe = true) {
  SampleEntry entry;
  entry.pts = pts;
  entry.duration = kSecond;
  entry.keyframe = keyframe;
  entry.size = size;
  entry.mdatOffset = offset;
  return entry;
}

using Parsed = test::Mp4Parsed;

class Mp4WriterTest : public ::testing::Test {
 protected:
  ::testing::AssertionResult WriteAndParse(Mp4Writer& writer) {
    if (!writer.Write(path_)) return ::testing::AssertionFailure() << "write failed";
    if (test::FileExists(partPath_)) return ::testing::AssertionFailure() << "\".part\" left behind";
    return test::ReadMp4(path_, &p);
  }
  test::TempFolder folder_;
  std::wstring path_ = folder_.File(L"clip.mp4");
  std::wstring partPath_ = path_ + L".part";
  Parsed p;
};

// A track without samples gets no trak nor ID but counts in nextTrackId; the
// first audio track with samples is the enabled one.
TEST_F(Mp4WriterTest, WritesFixedBoxesTrackOrderAndSampleEntries) {
  Mp4Writer writer;
  const int video = writer.AddVideoTrack(MakeVideo(100));
  writer.AddAudioTrack(MakeAudio("Silent"));
  const int desktop = writer.AddAudioTrack(MakeAudio(""));
  const int mic = writer.AddAudioTrack(MakeAudio("Microphone", 44100));
  for (int i = 0; i < 4; ++i) writer.AddSample(video, MakePacket(kBase + i * 166'667, 166'667, i == 0, 900 + i));
  for (int i = 0; i < 3; ++i) writer.AddSample(desktop, MakePacket(kBase + i * 213'333, 213'333, true, 300));
  for (int i = 0; i < 3; ++i) writer.AddSample(mic, MakePacket(kBase + i * 232'200, 232'200, true, 280));
  ASSERT_TRUE(WriteAndParse(writer));

  EXPECT_EQ(p.file.root().ChildTypes(), (std::vector<std::string>{"ftyp", "moov", "mdat"}));
  EXPECT_EQ(p.file.Raw(*p.file.Find("ftyp")), std::string("\0\0\0\x20" "ftypisom\0\0\x02\0" "isomiso2avc1mp41", 32));
  EXPECT_EQ(p.file.Find("moov")->ChildTypes(), (std::vector<std::string>{"mvhd", "trak", "trak", "trak"}));
  EXPECT_EQ(std::tuple(p.movie["timescale"], p.movie["nextTrackId"]), std::tuple(1000, 5));

  // Video first, then audio from the highest index down; IDs follow the index.
  const std::tuple<const char*, int, int, int, int, int, uint64_t> expected[] = {
      // handler, id, flags, timescale, group, volume, width
      {"Video", 1, 3, 90000, 0, 0, 1920u << 16}, {"Microphone", 3, 2, 44100, 1, 0x0100, 0},
      {"", 2, 3, 48000, 1, 0x0100, 0}};  // an empty name is a single zero byte
  ASSERT_EQ(p.tracks.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const Mp4Track& t = p.tracks[i];
    const auto [handler, id, flags, timescale, group, volume, width] = expected[i];
    SCOPED_TRACE(handler);
    EXPECT_EQ(t.handlerName, handler);
    EXPECT_EQ(t.handlerType, i == 0 ? "vide" : "soun");
    EXPECT_EQ(std::tuple(t["trackId"], t["flags"], t["timescale"], t["group"], t["volume"], t["width"]),
              std::tuple(id, flags, timescale, group, volume, width));
    EXPECT_EQ(t["height"], i == 0 ? 1080u << 16 : 0u);
    EXPECT_TRUE(t.elst.empty());
    EXPECT_EQ(t.stblTypes, i == 0 ? (std::vector<std::string>{"stsd", "stts", "stss", "stsc", "stsz", "co64"})
                                  : (std::vector<std::string>{"stsd", "stts", "stsc", "stsz", "co64"}));
  }
  const Mp4Track &v = p.tracks[0], &mic4a = p.tracks[1], &desk4a = p.tracks[2];
  EXPECT_EQ(v.stss, (U64s{1}));
  EXPECT_EQ(std::tuple(v["avcWidth"], v["avcHeight"], v.compressorName), std::tuple(1920, 1080, "Kaptora"));
  const VideoTrackInfo info = MakeVideo();
  Bytes avcC = {1, 100, 0x40, 0x2A, 0xFF, 0xE1, 0, 8};  // version, profile, level, 4-byte lengths, one SPS
  avcC.insert(avcC.end(), info.sps.begin(), info.sps.end());
  avcC.insert(avcC.end(), {1, 0, 4});  // one PPS
  avcC.insert(avcC.end(), info.pps.begin(), info.pps.end());
  avcC.insert(avcC.end(), {0xFD, 0xF8, 0xF8, 0x00});  // 4:2:0, 8 bits, no SPS extensions
  EXPECT_EQ(v.avcC, avcC);
  EXPECT_EQ(v.colr, (Bytes{'n', 'c', 'l', 'x', 0, 1, 0, 1, 0, 1, 0}));  // BT.709, limited range

  EXPECT_EQ(std::tuple(mic4a["channels"], mic4a["sampleRate"], mic4a["esId"], mic4a["bufferSizeDB"]),
            std::tuple(2, 44100u << 16, 3, 280));
  EXPECT_EQ(std::tuple(desk4a["sampleRate"], desk4a["esId"]), std::tuple(48000u << 16, 2));
  EXPECT_EQ(mic4a.decoderSpecificInfo, (Bytes{0x11, 0x90}));
}

TEST_F(Mp4WriterTest, AvcCarriesChromaFieldsOnlyForHighProfiles) {
  const std::pair<int, bool> cases[] = {{66, false}, {77, false}, {110, true}, {122, true}, {144, true}, {244, false}};
  for (const auto& [profile, extended] : cases) {
    Mp4Writer writer;
    writer.AddSample(writer.AddVideoTrack(MakeVideo(static_cast<uint8_t>(profile))), MakePacket(kBase, 1, true, 10));
    ASSERT_TRUE(WriteAndParse(writer));
    EXPECT_EQ(p.tracks[0].avcC.size(), 6 + 2 + 8 + 3 + 4 + (extended ? 4u : 0u)) << profile;
  }
}

// Samples are laid out by pts, ties by track index, and every chunk offset
// points at exactly that packet's bytes.
TEST_F(Mp4WriterTest, InterleavesPayloadByTimeAndOffsetsPointAtPackets) {
  Mp4Writer writer;
  const int video = writer.AddVideoTrack(MakeVideo());
  const int audio = writer.AddAudioTrack(MakeAudio("A"));
  // Added out of time order across tracks; audio at 0 and 1 s ties with video.
  const std::vector<std::shared_ptr<const EncodedPacket>> a = {
      MakePacket(kBase, kSecond / 2, true, 11, 10), MakePacket(kBase + kSecond / 2, kSecond / 2, true, 12, 11),
      MakePacket(kBase + kSecond, kSecond / 2, true, 13, 12)};
  const std::vector<std::shared_ptr<const EncodedPacket>> v = {MakePacket(kBase, kSecond, true, 100, 20),
                                                               MakePacket(kBase + kSecond, kSecond, false, 200, 21)};
  for (const auto& packet : a) writer.AddSample(audio, packet);
  for (const auto& packet : v) writer.AddSample(video, packet);
  ASSERT_TRUE(WriteAndParse(writer));

  const test::Mp4Box* mdat = p.file.Find("mdat");
  EXPECT_EQ(mdat->headerSize, 8u);
  EXPECT_EQ(mdat->offset + mdat->size, p.file.bytes().size());
  const uint64_t start = mdat->payloadOffset();
  // Order: v0 (track 0), a0, a1, v1 (track 0 wins the tie at 1 s), a2.
  EXPECT_EQ(p.tracks[0].offsets, (U64s{start, start + 123}));
  EXPECT_EQ(p.tracks[1].offsets, (U64s{start + 100, start + 111, start + 323}));
  for (const auto& [track, packets] : {std::pair{&p.tracks[0], v}, std::pair{&p.tracks[1], a}}) {
    ASSERT_EQ(track->sizes.size(), packets.size());
    for (size_t i = 0; i < packets.size(); ++i) {
      EXPECT_EQ(p.file.bytes().substr(track->offsets[i], track->sizes[i]),
                std::string(packets[i]->data.begin(), packets[i]->data.end())) << "sample " << i;
    }
  }
}

// Each sample lasts until the next starts, at least one unit (later samples
// keep their times); the last lasts its own duration, or as long as the one
// before it when that is under one unit. Runs of equal durations are merged.
TEST_F(Mp4WriterTest, SampleDurationsFollowTimingRules) {
  struct Case {
    const char* name;
    std::vector<int64_t> pts;  // relative to kBase, ticks
    int64_t lastDuration;      // ticks
    U64s durations;            // expected, 90 kHz units
    size_t runs;
  };
  const Case cases[] = {
      {"steady 60 fps", {0, 166'667, 333'334, 500'001}, 166'667, {1500, 1500, 1500, 1500}, 1},
      {"one longer frame", {0, 166'667, 333'333, 500'111, 666'778}, 166'667, {1500, 1500, 1501, 1500, 1500}, 3},
      {"equal pts gets 1, later times kept", {0, 0, 2'000'000}, 1'000'000, {1, 17'999, 9000}, 3},
      {"inverted pts still advance", {0, 1'000'000, 500'000, 2'000'000}, 1'000'000, {9000, 1, 8999, 9000}, 4},
      {"single sample, duration under half a unit", {0}, 50, {1}, 1},
      {"last under one unit repeats the previous", {0, 1'000'000, 3'000'000}, 0, {9000, 18'000, 18'000}, 2},
      {"negative last duration repeats the previous", {0, 1'000'000}, -400'000, {9000, 9000}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Mp4Writer writer;
    const int video = writer.AddVideoTrack(MakeVideo());
    for (size_t i = 0; i < c.pts.size(); ++i) {
      writer.AddSample(video, MakePacket(kBase + c.pts[i], i + 1 == c.pts.size() ? c.lastDuration : 1, i == 0, 10));
    }
    ASSERT_TRUE(WriteAndParse(writer));
    const Mp4Track& t = p.tracks[0];
    EXPECT_EQ(t.Durations(), c.durations);
    EXPECT_EQ(t.stts.size(), 2 * c.runs);
    uint64_t sum = 0;
    for (uint64_t d : c.durations) sum += d;
    EXPECT_EQ(std::tuple(t["mediaDuration"], t["tkhdDuration"], p.movie["duration"]), std::tuple(sum, sum / 90, sum / 90));
  }
}

// The base time is the earliest first sample of any track; a track that
// starts later gets an empty edit of that length, the other none, and the
// movie lasts to the latest track end.
TEST_F(Mp4WriterTest, LateTrackGetsAnEmptyEdit) {
  // audio start relative to the video, video and audio delay, movie length (ms)
  for (const auto& [audioStart, videoDelay, audioDelay, movie] :
       {std::tuple{25'000'000, 0u, 2500u, 4000u}, std::tuple{-1'000'000, 100u, 0u, 4100u}}) {
    SCOPED_TRACE(audioStart);
    Mp4Writer writer;
    const int video = writer.AddVideoTrack(MakeVideo());
    const int audio = writer.AddAudioTrack(MakeAudio("Desktop"));
    for (int i = 0; i < 4; ++i) writer.AddSample(video, MakePacket(kBase + i * kSecond, kSecond, i == 0, 50));
    // One second of audio in four packets.
    for (int i = 0; i < 4; ++i) writer.AddSample(audio, MakePacket(kBase + audioStart + i * 2'500'000, 2'500'000, true, 20));
    ASSERT_TRUE(WriteAndParse(writer));
    EXPECT_EQ(p.tracks[1]["mediaDuration"], 48000u);
    EXPECT_EQ(p.movie["duration"], movie);
    const uint32_t delays[] = {videoDelay, audioDelay}, lengths[] = {4000, 1000};
    for (size_t t = 0; t < 2; ++t) {
      EXPECT_EQ(p.tracks[t]["tkhdDuration"], delays[t] + lengths[t]) << t;
      const U64s edit = {delays[t], 0xFFFFFFFF, 0x10000, lengths[t], 0, 0x10000};  // empty edit, then the media
      EXPECT_EQ(p.tracks[t].elst, delays[t] == 0 ? U64s() : edit) << t;
    }
  }
}

// Samples 0.1 s apart at 48 kHz; ten of them make exactly one second.
void AddAudioSamples(Mp4Writer& writer, int track, const std::vector<size_t>& sizes) {
  for (size_t i = 0; i < sizes.size(); ++i) {
    writer.AddSample(track, MakePacket(kBase + static_cast<int64_t>(i) * 1'000'000, 1'000'000, true, sizes[i]));
  }
}

// The first audio track must advertise a strictly higher average rate than
// every other audio track; its peak is raised only as far as needed. The
// peak is the largest one-second window starting at a sample; a sample
// exactly one second later is outside it.
TEST_F(Mp4WriterTest, FirstAudioTrackAdvertisesTheHighestAverageRate) {
  struct Case {
    const char* name;
    std::vector<size_t> first, second;
    uint64_t firstAvg, firstMax, secondAvg, firstBuffer;
  };
  std::vector<size_t> peaky(20, 100);  // 10,000 bytes from sample 5, 9,400 from sample 6
  std::fill(peaky.begin() + 5, peaky.begin() + 15, 1000);
  peaky[15] = 400;
  const Case cases[] = {
      {"lower first is raised", std::vector<size_t>(10, 1600), std::vector<size_t>(10, 1625), 130'001, 130'001, 130'000, 1600},
      {"equal first is raised", std::vector<size_t>(10, 1600), std::vector<size_t>(10, 1600), 128'001, 128'001, 128'000, 1600},
      {"higher first is kept", std::vector<size_t>(10, 1625), std::vector<size_t>(10, 1600), 130'000, 130'000, 128'000, 1625},
      {"a higher peak is kept", peaky, std::vector<size_t>(20, 700), 56'001, 80'000, 56'000, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Mp4Writer writer;
    const int first = writer.AddAudioTrack(MakeAudio("Desktop"));
    AddAudioSamples(writer, writer.AddAudioTrack(MakeAudio("Microphone")), c.second);
    AddAudioSamples(writer, first, c.first);
    ASSERT_TRUE(WriteAndParse(writer));
    const Mp4Track &firstTrack = p.tracks[1], &secondTrack = p.tracks[0];  // last track first
    EXPECT_EQ(std::tuple(firstTrack["avgBitrate"], firstTrack["maxBitrate"], firstTrack["bufferSizeDB"]),
              std::tuple(c.firstAvg, c.firstMax, c.firstBuffer));
    EXPECT_EQ(std::tuple(secondTrack["avgBitrate"], secondTrack["maxBitrate"]), std::tuple(c.secondAvg, c.secondAvg));
  }
}

// Built without the payload: the header alone decides the mdat form, and
// moov keeps its size when the 64-bit form moves the payload.
TEST(Mp4HeaderTest, MdatHeaderGrowsWhenTheSizeNoLongerFits32Bits) {
  const VideoTrackInfo video = MakeVideo();
  const std::vector<SampleEntry> samples = {Streamed(kBase, 0x10000),
                                            Streamed(kBase + kSecond, 0x10000, 0xFFFFFFF7ull - 0x10000)};
  Mp4TrackView view;
  view.video = &video;
  view.timescale = 90000;
  view.samples = samples;
  std::vector<uint64_t> starts;
  for (const uint64_t payload : {0xFFFFFFF7ull, 0xFFFFFFF8ull}) {
    SCOPED_TRACE(payload);
    ByteBuilder header;
    ASSERT_TRUE(BuildMp4Header(std::span(&view, 1), payload, header));
    Parsed p;
    ASSERT_TRUE(test::ParseMp4(std::string(header.bytes().begin(), header.bytes().end()), &p, true));
    const test::Mp4Box* mdat = p.file.Find("mdat");
    const bool large = payload > 0xFFFFFFF7ull;
    EXPECT_EQ(mdat->headerSize, large ? 16u : 8u);
    EXPECT_EQ(mdat->size, payload + mdat->headerSize);
    EXPECT_EQ(mdat->payloadOffset(), header.size());
    EXPECT_EQ(p.file.Raw(*mdat).substr(0, 8), large ? std::string("\0\0\0\x01mdat", 8) : std::string("\xFF\xFF\xFF\xFFmdat"));
    EXPECT_EQ(p.tracks[0].offsets, (U64s{header.size(), header.size() + samples[1].mdatOffset}));
    starts.push_back(header.size());
  }
  EXPECT_EQ(starts[1], starts[0] + 8);
}

// --- Files and failures -----------------------------------------------------

// Nothing to write, or a video track whose SPS is too short for avcC's
// profile and level (a file no player could decode, even with fine audio).
TEST_F(Mp4WriterTest, NothingToWriteTouchesNoFile) {
  test::FaultFiles files;
  test::LogCapture log;
  Mp4Writer empty(files);
  EXPECT_FALSE(empty.Write(path_));
  Mp4Writer noSamples(files);
  noSamples.AddVideoTrack(MakeVideo());
  noSamples.AddAudioTrack(MakeAudio("A"));
  EXPECT_FALSE(noSamples.Write(path_, 0, [](const ByteSink&) { return true; }));
  Mp4Writer shortSps(files);
  VideoTrackInfo video = MakeVideo();
  video.sps.resize(3);
  EXPECT_EQ(shortSps.AddVideoTrack(video), -1);
  shortSps.AddSample(shortSps.AddAudioTrack(MakeAudio("A")), MakePacket(kBase, kSecond / 50, true, 100));
  EXPECT_FALSE(shortSps.Write(path_));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"mp4: nothing to write", "mp4: nothing to write",
                                                   "mp4: video track refused, SPS of 3 bytes is too short"}));
  EXPECT_EQ(files.createCalls(), 0);
}

// Each failure removes the ".part" file and leaves an older file under the
// target name as it was.
TEST_F(Mp4WriterTest, FailuresRemoveThePartFileAndKeepTheOldTarget) {
  struct Case {
    const char* name;
    std::function<void(test::FaultFiles&)> arrange;
    int64_t payloadDelta;  // bytes the producer delivers beyond payloadSize
    bool producerResult;
    const char* line;
  };
  const Case cases[] = {
      {"create fails", [](test::FaultFiles& f) { f.FailCreate(L".part", kErrorAccessDenied); }, 0, true,
       "mp4: cannot create output file (error 5)"},
      {"write fails", [](test::FaultFiles& f) { f.FailWritesAfter(L".part", 100); }, 0, true, "mp4: write failed"},
      {"producer one byte short", [](test::FaultFiles&) {}, -1, true, "mp4: write failed"},
      {"producer one byte long", [](test::FaultFiles&) {}, 1, true, "mp4: write failed"},
      {"producer reports failure", [](test::FaultFiles&) {}, 0, false, "mp4: write failed"},
      {"rename fails for good", [](test::FaultFiles& f) { f.FailRename(L"clip.mp4", kErrorSharingViolation); }, 0,
       true, "mp4: write failed"},
      {"rename fails otherwise", [](test::FaultFiles& f) { f.FailRename(L"clip.mp4", kErrorFileNotFound); }, 0,
       true, "mp4: write failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::WriteFileBytes(path_, "previous clip");
    test::FaultFiles files;
    c.arrange(files);
    test::LogCapture log;
    test::FakeClock clock;
    Mp4Writer writer(files, clock);
    writer.AddSample(writer.AddVideoTrack(MakeVideo()), Streamed(kBase, 5000));
    const std::string payload(static_cast<size_t>(5000 + c.payloadDelta), 'x');
    EXPECT_FALSE(writer.Write(path_, 5000, [&](const ByteSink& sink) {
      return sink(payload.data(), payload.size()) && c.producerResult;
    }));
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{c.line}));
    EXPECT_FALSE(test::FileExists(partPath_));
    EXPECT_EQ(test::ReadFileBytes(path_), "previous clip");
  }
  // A scanner that holds the new file for a moment does not cost the clip.
  test::FaultFiles files;
  files.FailRename(L"clip.mp4", kErrorSharingViolation, 3);
  test::FakeClock clock;
  Mp4Writer writer(files, clock);
  writer.AddSample(writer.AddVideoTrack(MakeVideo()), Streamed(kBase, 10));
  EXPECT_TRUE(writer.Write(path_, 10, [](const ByteSink& sink) { return sink("0123456789", 10); }));
  EXPECT_EQ(test::ReadFileBytes(path_).substr(0, 4), std::string("\0\0\0\x20", 4));

}

// A write that fails while the producer runs makes the sink refuse from then
// on, so the producer stops early.
TEST_F(Mp4WriterTest, SinkRefusesAfterAFailedBufferWrite) {
  test::FaultFiles files;
  files.FailWritesAfter(L".part", 4 << 20);
  test::LogCapture log;
  Mp4Writer writer(files);
  writer.AddSample(writer.AddVideoTrack(MakeVideo()), Streamed(kBase, 20 << 20));
  const std::vector<char> piece(1 << 20, 'p');
  int accepted = 0;
  bool refusedAgain = false;
  EXPECT_FALSE(writer.Write(path_, 20 << 20, [&](const ByteSink& sink) {
    while (sink(piece.data(), piece.size())) ++accepted;
    refusedAgain = !sink(piece.data(), 1);
    return false;
  }));
  // The eighth piece completes the first 8 MiB buffer (the header sits before
  // the payload), and that write is over the budget.
  EXPECT_EQ(accepted, 7);
  EXPECT_TRUE(refusedAgain);
  EXPECT_TRUE(log.Has("mp4: write failed"));
}

// Real files, with writes counted and their data dropped, and the calls
// around them recorded.
class RecordingFiles : public test::FaultFiles {
 public:
  CreateOptions options;
  uint64_t preallocated = 0;
  std::vector<size_t> writes;
  std::vector<std::string> calls;

  IoStatus Create(const std::wstring&, const CreateOptions& o, std::unique_ptr<File>* out) override {
    calls.push_back("create");
    options = o;
    *out = std::make_unique<Counting>(*this);
    return IoStatus::Success();
  }
  IoStatus ReplaceRename(const std::wstring& from, const std::wstring& to) override {
    calls.push_back("rename " + std::string(from.begin(), from.end()) + " " + std::string(to.begin(), to.end()));
    return IoStatus::Success();
  }
  IoStatus SetHidden(const std::wstring&, bool hidden) override {
    calls.push_back("hidden " + std::to_string(hidden));
    return IoStatus::Success();
  }

 private:
  struct Counting : File {
    explicit Counting(RecordingFiles& r) : r(r) {}
    IoStatus Write(const void*, size_t size) override { return r.writes.push_back(size), IoStatus::Success(); }
    IoStatus Read(void*, size_t, size_t* got) override { return *got = 0, IoStatus::Success(); }
    IoStatus Seek(uint64_t) override { return IoStatus::Success(); }
    IoStatus Size(uint64_t* size) override { return *size = 0, IoStatus::Success(); }
    IoStatus Preallocate(uint64_t size) override { return r.preallocated = size, IoStatus::Success(); }
    IoStatus Close() override { return r.calls.push_back("close"), IoStatus::Success(); }
    RecordingFiles& r;
  };
};

// 140 MiB in 1 MiB pieces into a hidden ".part" (a stale one is truncated):
// progress after 64 and 128 MiB (plus the header), then 1.0; the file sees
// only full 8 MiB writes and one remainder.
TEST(Mp4WriterIoTest, StreamsThroughAnEightMebibyteBufferWithProgress) {
  constexpr size_t kMiB = 1 << 20;
  RecordingFiles files;
  Mp4Writer writer(files);
  const int video = writer.AddVideoTrack(MakeVideo());
  for (int i = 0; i < 140; ++i) writer.AddSample(video, Streamed(kBase + i * 166'667, kMiB, uint64_t{kMiB} * i, i == 0));
  std::vector<double> progress;
  writer.onProgress = [&](double fraction) { progress.push_back(fraction); };
  const std::vector<uint8_t> piece(kMiB, 0xAB);
  ASSERT_TRUE(writer.Write(L"dir/out.mp4", 140 * kMiB, [&](const ByteSink& sink) {
    for (int i = 0; i < 140; ++i) {
      if (!sink(piece.data(), piece.size())) return false;
    }
    return true;
  }));

  EXPECT_EQ(files.calls,
            (std::vector<std::string>{"create", "close", "rename dir/out.mp4.part dir/out.mp4", "hidden 0"}));
  EXPECT_TRUE(files.options.hidden && files.options.sequential);
  EXPECT_EQ(files.options.mode, CreateMode::kTruncate);
  uint64_t total = 0;
  for (size_t size : files.writes) total += size;
  const uint64_t header = total - 140 * kMiB;
  EXPECT_LT(header, 64 * 1024u);
  EXPECT_EQ(files.preallocated, total);
  ASSERT_EQ(files.writes.size(), 18u);  // 17 full buffers and the rest
  for (size_t i = 0; i + 1 < files.writes.size(); ++i) EXPECT_EQ(files.writes[i], 8 * kMiB) << i;
  EXPECT_EQ(progress, (std::vector<double>{static_cast<double>(header + 64 * kMiB) / static_cast<double>(total),
                                           static_cast<double>(header + 128 * kMiB) / static_cast<double>(total), 1.0}));
}

}  // namespace
}  // namespace kp
