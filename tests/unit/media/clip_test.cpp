// Clip selection from the replay buffer, and the clip file written from it
// read back with the box reader.
#include <gtest/gtest.h>

#include <functional>

#include "media/buffer_test_util.h"
#include "media/clip_file.h"
#include "media/replay_buffer.h"
#include "platform/path.h"
#include "support/fault_files.h"
#include "support/log_capture.h"
#include "support/mp4_box_reader.h"
#include "support/temp_folder.h"

namespace kp::test {
namespace {

constexpr int64_t T0 = 5000 * kSec;

// Groups at 0, 2, 4, 6 and 8 s (10 frames/s), optionally with new
// parameters from the 6-s group on; one audio track with 20-ms frames.
void PushGroups(ReplayBuffer& buffer, bool changeAtSix = false) {
  buffer.SetAudioTracks(AudioTracks(1));
  for (int64_t t = T0; t < T0 + 10 * kSec; t += 100 * kMs) {
    buffer.PushVideo(VideoInfo(changeAtSix && t >= T0 + 6 * kSec ? 1 : 0), Video(t, (t - T0) % (2 * kSec) == 0));
    for (int64_t a = t; a < t + 100 * kMs; a += 20 * kMs) buffer.PushAudio(0, Audio(0, a));
  }
}

TEST(TakeClipTest, StartsAtTheRightGroup) {
  struct Case {
    const char* name;
    bool changeAtSix;
    int64_t now, length, expectedStart;
  };
  const Case cases[] = {
      {"newest group at or before target", false, 9'500 * kMs, 5 * kSec, 4 * kSec},
      {"parameter change stops the search", true, 9'500 * kMs, 5 * kSec, 6 * kSec},
      {"target before every group", false, 9'500 * kMs, 20 * kSec, 0},
      {"target inside the newest group", false, 9'500 * kMs, 500 * kMs, 8 * kSec},
      {"group starting exactly at target", false, 8 * kSec, 2 * kSec, 6 * kSec},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder dir;
    ReplayBuffer buffer(dir.path(), 60 * kSec);
    PushGroups(buffer, c.changeAtSix);
    ReplayBuffer::Clip clip;
    ASSERT_TRUE(buffer.TakeClip(c.length, T0 + c.now, clip));
    EXPECT_EQ(std::tuple(clip.start, clip.end), std::tuple(T0 + c.expectedStart, T0 + c.now));
    EXPECT_EQ(clip.video, VideoInfo(c.changeAtSix ? 1 : 0));
    // Every picture and audio frame from the start up to (excluding) now.
    ASSERT_EQ(clip.videoPackets.size(), static_cast<size_t>((c.now - c.expectedStart) / (100 * kMs)));
    ASSERT_EQ(clip.audioPackets.size(), 1u);
    EXPECT_EQ(std::tuple(clip.videoPackets.front().pts, clip.videoPackets.back().pts, clip.audioPackets[0].front().pts,
                         clip.audioPackets[0].back().pts),
              std::tuple(clip.start, T0 + c.now - 100 * kMs, clip.start, T0 + c.now - 20 * kMs));
  }
}

TEST(ExtendClipAudioTest, AddsLateAudioOnceAndOnlyWithinTheClip) {
  TempFolder dir;
  ReplayBuffer buffer(dir.path(), 60 * kSec);
  buffer.SetAudioTracks(AudioTracks(2));
  buffer.PushVideo(VideoInfo(), Video(T0, true));
  buffer.PushVideo(VideoInfo(), Video(T0 + 100 * kMs, false));
  buffer.PushAudio(0, Audio(0, T0));
  ReplayBuffer::Clip clip;
  ASSERT_TRUE(buffer.TakeClip(10 * kSec, T0 + 200 * kMs, clip));
  ASSERT_EQ(clip.audioPackets[0].size(), 1u);

  // Audio arrives late (the mixer runs behind real time).
  for (int64_t a = T0 + 20 * kMs; a < T0 + 260 * kMs; a += 20 * kMs) buffer.PushAudio(0, Audio(0, a));
  buffer.PushAudio(1, Audio(1, T0 - 1));  // before the clip
  for (int64_t a = T0; a < T0 + 260 * kMs; a += 20 * kMs) buffer.PushAudio(1, Audio(1, a));
  for (int round = 0; round < 2; ++round) {  // a second call adds nothing
    buffer.ExtendClipAudio(clip);
    EXPECT_EQ(PtsOf(clip.audioPackets[0]).back(), T0 + 180 * kMs);
    EXPECT_EQ(clip.audioPackets[0].size(), 10u);  // 0..180 ms
    EXPECT_EQ(clip.audioPackets[1].front().pts, T0);
    EXPECT_EQ(clip.audioPackets[1].size(), 10u);
    EXPECT_EQ(clip.videoPackets.size(), 2u);  // video is fixed at selection
  }

  // After the track list changed, nothing is added.
  ReplayBuffer::Clip other;
  ASSERT_TRUE(buffer.TakeClip(10 * kSec, T0 + 300 * kMs, other));
  other.audioPackets[0].clear();
  buffer.SetAudioTracks(AudioTracks(2, "Mic "));
  buffer.PushAudio(0, Audio(0, T0 + 280 * kMs));
  buffer.ExtendClipAudio(other);
  EXPECT_TRUE(other.audioPackets[0].empty());
}

// --- Clip files ---------------------------------------------------------------

// The clip file, and the payload of its mdat.
::testing::AssertionResult ReadClip(const std::wstring& path, Mp4Parsed* out, std::string* payload) {
  if (::testing::AssertionResult read = ReadMp4(path, out); !read) return read;
  *payload = out->file.bytes().substr(out->file.Find("mdat")->payloadOffset());
  return ::testing::AssertionSuccess();
}

// Writes the clip through `files` and reads it back: the write must succeed,
// report progress once (1.0, at the end) and leave no ".part" behind.
::testing::AssertionResult WriteAndReadClip(const ReplayBuffer::Clip& clip, const std::wstring& out, Files& files,
                                            Mp4Parsed* parsed, std::string* payload) {
  std::vector<double> progress;
  if (!WriteClipFile(clip, out, [&](double f) { progress.push_back(f); }, files)) {
    return ::testing::AssertionFailure() << "write failed";
  }
  if (progress != std::vector<double>{1.0}) return ::testing::AssertionFailure() << progress.size() << " reports";
  if (FileExists(out + L".part")) return ::testing::AssertionFailure() << "\".part\" left behind";
  return ReadClip(out, parsed, payload);
}

// Each sample of the track must be the payload of the matching record.
void ExpectSamplesMatch(const Mp4Parsed& clip, size_t trak, const std::vector<PacketRecord>& records, uint32_t stream) {
  const Mp4Track& track = clip.tracks.at(trak);
  ASSERT_EQ(track.sizes.size(), records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(clip.file.bytes().substr(track.offsets[i], track.sizes[i]),
              PayloadFor(stream, records[i].pts, records[i].size)) << "sample " << i;
  }
}

// The payload is each segment from the first used payload byte to the end
// of the last one (headers and unused packets in between come along).
TEST(WriteClipFileTest, PayloadIsTheUsedStretchOfEachSegment) {
  TempFolder dir;
  FaultFiles files;  // clones nothing, whatever the disk under it can do
  ReplayBuffer buffer(dir.path(), 60 * kSec, files);
  buffer.SetAudioTracks(AudioTracks(1));
  for (int i = 0; i < 4; ++i) {  // keyframes at 0 and 8 s in segment 1, 16 and 24 s in segment 2
    const int64_t t = T0 + i * 8 * kSec;
    buffer.PushVideo(VideoInfo(), Video(t, true, 100 * kMs, 1000 + i));
    buffer.PushAudio(0, Audio(0, t + 10 * kMs, 20 * kMs, 50 + i));
    buffer.PushVideo(VideoInfo(), Video(t + 100 * kMs, false, 100 * kMs, 300 + i));
  }
  ReplayBuffer::Clip clip;
  // 0.2 s recorded per group, the rest are cuts: 0.5 s starts at 8 s.
  ASSERT_TRUE(buffer.TakeClip(500 * kMs, T0 + 30 * kSec, clip));
  ASSERT_EQ(clip.videoPackets.back().segment->index, 2u);
  clip.audioTracks = AudioTracks(2);  // a second track without packets
  clip.audioPackets.resize(2);
  Mp4Parsed parsed;
  std::string payload;
  ASSERT_TRUE(WriteAndReadClip(clip, dir.File(L"clip.mp4"), files, &parsed, &payload));
  EXPECT_EQ(payload, ReadFileBytes(clip.videoPackets[0].segment->path).substr(clip.videoPackets[0].offset) +
                         ReadFileBytes(JoinPath(dir.path(), SegmentFileName(2))).substr(32));
  ASSERT_EQ(parsed.tracks.size(), 2u);  // the empty track has no trak
  EXPECT_EQ(parsed.tracks[1].handlerName, "Track 1");
  ExpectSamplesMatch(parsed, 0, clip.videoPackets, 0);
  ExpectSamplesMatch(parsed, 1, clip.audioPackets[0], 1);
  EXPECT_EQ(parsed.tracks[0].stss, (std::vector<uint64_t>{1, 3, 5}));
}

// Video 0-4 s and 20-24 s (10 frames/s); 20-ms audio offset by 10 ms, so the
// last packet before the cut overlaps it and the first after it would start
// inside that one once moved. The file plays straight across the cut.
TEST(WriteClipFileTest, AClipAcrossACutPlaysStraightOn) {
  TempFolder dir;
  ReplayBuffer buffer(dir.path(), 60 * kSec);
  buffer.SetAudioTracks(AudioTracks(1));
  // Audio of [from, until) alongside video of [from, to).
  auto run = [&](int64_t from, int64_t to, int64_t audioOffset, int64_t until) {
    for (int64_t t = from; t < to; t += 100 * kMs) {
      buffer.PushVideo(VideoInfo(), Video(T0 + t, (t - from) % (2 * kSec) == 0));
      for (int64_t a = t + audioOffset; a < t + audioOffset + 100 * kMs && a < until; a += 20 * kMs) {
        buffer.PushAudio(0, Audio(0, T0 + a));
      }
    }
  };
  run(0, 4 * kSec, 10 * kMs, 6 * kSec);
  for (int64_t a = 4'010 * kMs; a < 6 * kSec; a += 20 * kMs) buffer.PushAudio(0, Audio(0, T0 + a));  // no video
  run(20 * kSec, 24 * kSec, 0, 23 * kSec);
  ReplayBuffer::Clip clip;
  ASSERT_TRUE(buffer.TakeClip(60 * kSec, T0 + 24'050 * kMs, clip));  // 50 ms after the last picture's end
  // The rest of the audio comes late, and video stays away for 6 s: a cut
  // that began inside the clip, found only when the audio is topped up.
  for (int64_t a = 23 * kSec; a < 24'200 * kMs; a += 20 * kMs) buffer.PushAudio(0, Audio(0, T0 + a));
  buffer.PushVideo(VideoInfo(), Video(T0 + 30 * kSec, true));
  buffer.ExtendClipAudio(clip);
  EXPECT_EQ(clip.cuts, (CutList{{T0 + 4 * kSec, 16 * kSec}, {T0 + 24 * kSec, 6 * kSec}}));
  EXPECT_EQ(clip.RecordedDuration(), 8 * kSec);
  EXPECT_EQ(clip.audioPackets[0].size(), 200u + 199u);  // 0.01-3.99 s and 20.02-23.98 s

  const std::wstring out = dir.File(L"clip.mp4");
  ASSERT_TRUE(WriteClipFile(clip, out, {}));
  Mp4Parsed parsed;
  std::string payload;
  ASSERT_TRUE(ReadClip(out, &parsed, &payload));
  ASSERT_EQ(parsed.tracks.size(), 2u);
  EXPECT_EQ(parsed.tracks[0].Durations(), std::vector<uint64_t>(80, 9'000));  // 100 ms each at 90 kHz
  std::vector<uint64_t> audio(399, 960);  // 20 ms each at 48 kHz ...
  audio[199] = 1'440;                     // ... but the one before the dropped packet
  EXPECT_EQ(parsed.tracks[1].Durations(), audio);
  EXPECT_EQ(parsed.tracks[1].elst, (std::vector<uint64_t>{10, 0xFFFFFFFF, 0x10000, 7'990, 0, 0x10000}));
  ExpectSamplesMatch(parsed, 1, clip.audioPackets[0], 1);
}

TEST(WriteClipFileTest, UnreadableSegmentFailsWithoutTouchingTheTarget) {
  struct Fault {
    const char* name;
    std::function<void(FaultFiles&)> inject;
    const char* line;
  };
  const Fault faults[] = {
      {"open refused", [](FaultFiles& f) { f.FailOpenForRead(L".kpseg", kErrorAccessDenied); },
       "clip: cannot open buffer segment (error 5)"},
      {"short read", [](FaultFiles& f) { f.EndReadsAfter(L".kpseg", 100); },
       "clip: reading buffer segment failed"},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    TempFolder dir;
    FaultFiles files;
    ReplayBuffer buffer(JoinPath(dir.path(), L"buffer"), 60 * kSec, files);
    PushGroups(buffer);
    ReplayBuffer::Clip clip;
    ASSERT_TRUE(buffer.TakeClip(5 * kSec, T0 + 9'500 * kMs, clip));
    const std::wstring out = dir.File(L"clip.mp4");
    WriteFileBytes(out, "previous clip");
    fault.inject(files);
    LogCapture log;
    EXPECT_FALSE(WriteClipFile(clip, out, {}, files));
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{fault.line, "mp4: write failed"}));
    EXPECT_EQ(ReadFileBytes(out), "previous clip");
    EXPECT_FALSE(FileExists(out + L".part"));
  }
}

// A file system that shares blocks of `kBlock` bytes, as a reflink file
// system does: a clone must start at block boundaries in both files, cover
// whole blocks and lie within its source, or it is refused (EINVAL), leaving
// the target as it was. With `refuse`, every clone fails (EOPNOTSUPP), as
// on a file system that reported cloning but will not do it after all.
class CloningFiles : public FaultFiles {
 public:
  static constexpr uint64_t kBlock = 512;
  explicit CloningFiles(bool refuse) : refuse_(refuse) {}

  BlockCloning ProbeBlockCloning(const std::wstring&, const std::wstring&) override { return {true, kBlock}; }
  IoStatus Create(const std::wstring& path, const CreateOptions& options, std::unique_ptr<File>* out) override {
    IoStatus status = FaultFiles::Create(path, options, out);
    if (status) *out = std::make_unique<Target>(*this, std::move(*out));
    return status;
  }

  bool refuse_;
  uint64_t clonedBytes = 0;
  int refusedClones = 0;

 private:
  class Target : public File {
   public:
    Target(CloningFiles& owner, std::unique_ptr<File> real) : owner_(owner), real_(std::move(real)) {}
    IoStatus Write(const void* data, size_t size) override { return Advance(real_->Write(data, size), size); }
    IoStatus Read(void* data, size_t size, size_t* got) override { return real_->Read(data, size, got); }
    IoStatus Seek(uint64_t offset) override {
      position_ = offset;
      return real_->Seek(offset);
    }
    IoStatus Size(uint64_t* size) override { return real_->Size(size); }
    IoStatus Preallocate(uint64_t size) override { return real_->Preallocate(size); }
    IoStatus Close() override { return real_->Close(); }
    IoStatus CopyRange(File& source, uint64_t offset, uint64_t length) override {
      return Advance(real_->CopyRange(source, offset, length), length);
    }
    IoStatus CloneRange(File& source, uint64_t offset, uint64_t length) override {
      uint64_t sourceSize = 0;
      source.Size(&sourceSize);
      const bool aligned = (offset | length | position_) % kBlock == 0 && offset + length <= sourceSize;
      if (owner_.refuse_ || !aligned) {
        ++owner_.refusedClones;
        return IoStatus::Failure(owner_.refuse_ ? 95 : 22);
      }
      owner_.clonedBytes += length;
      return CopyRange(source, offset, length);  // shared blocks read like copied ones
    }

   private:
    IoStatus Advance(IoStatus status, uint64_t bytes) {
      if (status) position_ += bytes;
      return status;
    }
    CloningFiles& owner_;
    std::unique_ptr<File> real_;
    uint64_t position_ = 0;
  };
};

// Where the clip's file system clones, every sample still reads back as its
// packet, whole blocks are cloned (all but a few per segment), and a file
// system that refuses the clones gets the same file by copying.
TEST(WriteClipFileTest, BlockAlignedLayoutClonesWholeBlocksAndFallsBackToTheSameBytes) {
  TempFolder dir;
  ReplayBuffer buffer(JoinPath(dir.path(), L"buffer"), 60 * kSec);
  buffer.SetAudioTracks(AudioTracks(2));
  for (int64_t k = 0; k < 300; ++k) {  // 30 s at 10 frames/s: three segments
    const int64_t t = T0 + k * 100 * kMs;
    buffer.PushVideo(VideoInfo(), Video(t, k % 100 == 0, 100 * kMs, 700 + static_cast<size_t>(k * 37 % 1500)));
    for (int track = 0; track < 2; ++track) buffer.PushAudio(track, Audio(track, t + track, 100 * kMs, 61));
  }
  ReplayBuffer::Clip clip;
  ASSERT_TRUE(buffer.TakeClip(25 * kSec, T0 + 30 * kSec, clip));  // from 0 s: all three
  clip.audioPackets[1].erase(clip.audioPackets[1].begin(), clip.audioPackets[1].begin() + 150);  // starts later

  std::string bytes[2];
  for (const bool refuse : {false, true}) {
    SCOPED_TRACE(refuse ? "refusing clones" : "cloning");
    CloningFiles files(refuse);
    const std::wstring out = dir.File(refuse ? L"copied.mp4" : L"cloned.mp4");
    Mp4Parsed parsed;
    std::string payload;
    ASSERT_TRUE(WriteAndReadClip(clip, out, files, &parsed, &payload));
    ExpectSamplesMatch(parsed, 0, clip.videoPackets, 0);
    ExpectSamplesMatch(parsed, 1, clip.audioPackets[1], 2);  // traks: audio from the last track down
    ExpectSamplesMatch(parsed, 2, clip.audioPackets[0], 1);
    if (refuse) {
      EXPECT_EQ(files.clonedBytes, 0u);
    } else {
      EXPECT_EQ(files.refusedClones, 0);
      EXPECT_GT(files.clonedBytes + 3 * 2 * CloningFiles::kBlock, payload.size());
    }
    bytes[refuse] = ReadFileBytes(out);
  }
  EXPECT_EQ(bytes[0], bytes[1]);
}

}  // namespace
}  // namespace kp::test
