#include "media/replay_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "media/buffer_test_util.h"
#include "platform/path.h"
#include "platform/process_id.h"
#include "platform/text.h"
#include "support/fake_clock.h"
#include "support/fault_files.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

namespace kp::test {
namespace {

constexpr int64_t T0 = 1000 * kSec;  // streams start on a running clock
const char kWriteFailed[] = "buffer: write failed (error 112) — disk full?";
using Pts = std::vector<int64_t>;

// Every name but the buffer's lock file.
std::vector<std::string> FilesIn(const std::wstring& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(folder))) {
    if (entry.path().filename() != "kaptora.lock") names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Polls `done` for up to 10 s: the writer thread works on its own time.
bool Eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// A record header, fields in order, reserved bytes included.
std::string Header(const std::string& file, size_t at) {
  auto le = [&](size_t offset, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(file[at + offset + i]);
    return std::to_string(static_cast<int64_t>(v));
  };
  return file.substr(at, 4) + " stream " + le(4, 1) + " key " + le(5, 1) + " " + le(6, 2) + " size " + le(8, 4) +
         " " + le(12, 4) + " pts " + le(16, 8) + " duration " + le(24, 8);
}

// Real files, with the options of the last file created; with `dropWrites`,
// files that keep nothing (half a GiB of segment without the disk time).
class OptionFiles : public FaultFiles {
 public:
  IoStatus Create(const std::wstring& path, const CreateOptions& options, std::unique_ptr<File>* out) override {
    std::lock_guard<std::mutex> lock(mutex);
    last = options;
    if (!dropWrites) return FaultFiles::Create(path, options, out);
    *out = std::make_unique<Dropping>();
    return IoStatus::Success();
  }
  std::mutex mutex;
  CreateOptions last;
  bool dropWrites = false;

 private:
  struct Dropping : File {
    IoStatus Write(const void*, size_t) override { return IoStatus::Success(); }
    IoStatus Read(void*, size_t, size_t* got) override { return *got = 0, IoStatus::Success(); }
    IoStatus Seek(uint64_t) override { return IoStatus::Success(); }
    IoStatus Size(uint64_t* size) override { return *size = 0, IoStatus::Success(); }
    IoStatus Preallocate(uint64_t) override { return IoStatus::Success(); }
    IoStatus Close() override { return IoStatus::Success(); }
  };
};

class ReplayBufferTest : public ::testing::Test {
 protected:
  ~ReplayBufferTest() override {
    files.ReleaseWrites();  // never leave the writer stuck behind the gate
    buffer.reset();
  }
  void Start(int64_t window = 30 * kSec, int audioTracks = 1) {
    buffer = std::make_unique<ReplayBuffer>(dir.path(), window, files, clock);
    buffer->SetAudioTracks(AudioTracks(audioTracks));
  }
  void Push(int64_t at, bool keyframe, size_t size = 100) {
    buffer->PushVideo(VideoInfo(), Video(T0 + at, keyframe, 100 * kMs, size));
  }
  void PushAudio(int64_t at, int track = 0) { buffer->PushAudio(track, Audio(track, T0 + at)); }
  // Video of [from, to) at 10 frames/s with a keyframe every `gop`, and
  // 20-ms audio frames alongside; waits until all of it is indexed.
  void PushRun(int64_t from, int64_t to, int64_t gop = 2 * kSec) {
    for (int64_t t = from; t < to; t += 100 * kMs) {
      Push(t, (t - from) % gop == 0);
      for (int64_t a = t; a < t + 100 * kMs; a += 20 * kMs) PushAudio(a);
    }
    Clip(to);
  }
  // Starts, and pushes a first keyframe whose idle flush then waits at the gate.
  void HoldFirstKeyframe() {
    files.HoldWrites(L"000001.kpseg");
    Start();
    Push(0, true);
    ASSERT_TRUE(Eventually([&] { return files.heldWrites() == 1; }));
  }
  ReplayBuffer::Clip Clip(int64_t now) { return Everything(*buffer, T0 + now); }
  // Video pts relative to T0; each record must point at its own bytes.
  Pts VideoPts(const ReplayBuffer::Clip& clip) {
    Pts pts;
    for (const PacketRecord& r : clip.videoPackets) {
      pts.push_back(r.pts - T0);
      EXPECT_EQ(RecordBytes(r), PayloadFor(0, r.pts, r.size)) << "record at " << r.pts - T0;
    }
    return pts;
  }
  uint64_t Gops() { return buffer->GetStatus().gopCount; }

  TempFolder dir;
  OptionFiles files;
  FakeClock clock;
  LogCapture log;
  std::unique_ptr<ReplayBuffer> buffer;
};

TEST_F(ReplayBufferTest, WritesRecordsWithHeadersAndTrueOffsets) {
  Start(30 * kSec, 2);
  buffer->PushVideo(VideoInfo(), Video(T0, true, 100 * kMs, 300));
  buffer->PushAudio(1, Audio(1, T0 + 5 * kMs, 21 * kMs, 17));
  buffer->PushVideo(VideoInfo(), Video(T0 + 100 * kMs, false, 100 * kMs, 0));
  const ReplayBuffer::Clip clip = Clip(kSec);
  ASSERT_EQ(clip.audioPackets.size(), 2u);
  ASSERT_EQ(clip.audioPackets[1].size(), 1u);
  EXPECT_TRUE(clip.audioPackets[0].empty());
  EXPECT_EQ(clip.videoPackets[0].segment->index, 1u);
  const std::string file = ReadFileBytes(JoinPath(dir.path(), L"000001.kpseg"));
  ASSERT_EQ(file.size(), 32u + 300 + 32 + 17 + 32);
  // Audio track 1 is stream 2 and always a keyframe; an empty picture still has its header.
  EXPECT_EQ(Header(file, 0), "KPPK stream 0 key 1 0 size 300 0 pts " + std::to_string(T0) + " duration 1000000");
  EXPECT_EQ(Header(file, 332), "KPPK stream 2 key 1 0 size 17 0 pts " + std::to_string(T0 + 5 * kMs) + " duration 210000");
  EXPECT_EQ(Header(file, 381), "KPPK stream 0 key 0 0 size 0 0 pts " + std::to_string(T0 + 100 * kMs) + " duration 1000000");
  EXPECT_EQ(clip.audioPackets[1][0].offset, 364u);
  EXPECT_EQ(clip.videoPackets[1].offset, 413u);
  EXPECT_EQ(VideoPts(clip), (Pts{0, 100 * kMs}));
  EXPECT_EQ(RecordBytes(clip.audioPackets[1][0]), PayloadFor(2, T0 + 5 * kMs, 17));

  const BufferStatus status = buffer->GetStatus();
  EXPECT_EQ(std::tuple(status.diskBytes, status.gopCount, status.duration, status.degraded),
            std::tuple(file.size(), 1u, 200 * kMs, false));
  // A clip writer must be able to read and delete-share a segment while it grows.
  EXPECT_EQ(files.last.mode, CreateMode::kTruncate);
  EXPECT_TRUE(files.last.temporary && files.last.sequential && files.last.shareRead && files.last.shareDelete);
}

TEST_F(ReplayBufferTest, TrimKeepsAFullWindowAndDeletesOldSegments) {
  Start(30 * kSec);
  PushRun(0, 101 * kSec);  // the last picture ends at 101 s
  ReplayBuffer::Clip clip = Clip(101 * kSec);
  // The oldest group starts at or before the window's start, the second after it.
  EXPECT_EQ(clip.start, T0 + 70 * kSec);
  const BufferStatus status = buffer->GetStatus();
  EXPECT_EQ(status.duration, 31 * kSec);
  EXPECT_EQ(status.gopCount, 16u);  // 70, 72, ..., 100
  // Audio that ends before the oldest keyframe is gone; the rest is there.
  EXPECT_EQ(clip.audioPackets[0].front().pts, clip.start);
  EXPECT_EQ(clip.audioPackets[0].size(), 31u * 50);
  // Segments roll every 10 s; older ones went once nothing referred to them,
  // which also needs their audio records trimmed.
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"000008.kpseg", "000009.kpseg", "000010.kpseg", "000011.kpseg"}));
  uint64_t onDisk = 0;
  for (const std::string& name : FilesIn(dir.path())) onDisk += std::filesystem::file_size(std::filesystem::path(dir.path()) / name);
  EXPECT_EQ(status.diskBytes, onDisk);

  // A shorter window trims at once.
  buffer->SetWindow(5 * kSec);
  EXPECT_EQ(buffer->GetWindow(), 5 * kSec);
  EXPECT_EQ(buffer->GetStatus().duration, 5 * kSec);
  clip = {};
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"000010.kpseg", "000011.kpseg"}));
}

TEST_F(ReplayBufferTest, SegmentRollsAtTheFirstKeyframeTenSecondsAfterItsStart) {
  for (const auto& [secondKeyframe, expectedSegment] : {std::pair{10'000 * kMs - 1, 1u}, std::pair{10'000 * kMs, 2u}}) {
    SCOPED_TRACE(secondKeyframe);
    buffer.reset();
    Start(60 * kSec);
    Push(0, true);
    Push(9 * kSec, false);  // non-keyframes never roll, however old the segment
    Push(secondKeyframe - 1, false);
    Push(secondKeyframe, true);
    Push(secondKeyframe + 100 * kMs, false);
    const ReplayBuffer::Clip clip = Clip(30 * kSec);
    ASSERT_EQ(clip.videoPackets.size(), 5u);
    EXPECT_EQ(clip.videoPackets[2].segment->index, 1u);
    EXPECT_EQ(clip.videoPackets[3].segment->index, expectedSegment);
    EXPECT_EQ(clip.videoPackets[4].segment->index, expectedSegment);
    EXPECT_EQ(clip.videoPackets[3].offset, expectedSegment == 2 ? 32u : 4 * 32u + 300);
  }
}

TEST_F(ReplayBufferTest, SegmentRollsAtTheNextKeyframeOnceItHolds512MiB) {
  files.dropWrites = true;
  Start(60 * kSec);
  constexpr uint64_t kLimit = 536'870'912;
  constexpr size_t kPiece = 8 * 1024 * 1024;
  // Constant payloads: memset speed, and their bytes do not matter here.
  auto big = [](int64_t pts, bool key, size_t size) {
    return std::make_shared<EncodedPacket>(EncodedPacket{pts, 1, key, std::vector<uint8_t>(size, 0x5A)});
  };
  // Segment 1 one byte short of the limit: 63 records of 8 MiB, then the rest.
  int64_t t = T0;
  for (int i = 0; i < 63; ++i) {
    buffer->PushVideo(VideoInfo(), big(t++, i == 0, kPiece));
    if (i % 8 == 7) Clip(kSec);  // bound the memory held by the queue
  }
  buffer->PushVideo(VideoInfo(), big(t++, false, kLimit - 1 - 63 * (32 + kPiece) - 32));
  buffer->PushVideo(VideoInfo(), Video(t++, true, 1, 10));   // one byte short: stays
  buffer->PushVideo(VideoInfo(), Video(t++, false, 1, 10));  // over, but not a keyframe
  buffer->PushVideo(VideoInfo(), Video(t++, true, 1, 10));   // rolls
  const ReplayBuffer::Clip clip = Clip(kSec);
  ASSERT_EQ(clip.videoPackets.size(), 67u);
  EXPECT_EQ(clip.videoPackets[65].segment->index, 1u);
  EXPECT_EQ(clip.videoPackets[66].segment->index, 2u);
  EXPECT_EQ(buffer->GetStatus().diskBytes, kLimit - 1 + 3 * (32 + 10));
}

TEST_F(ReplayBufferTest, ChangingTheAudioTrackListDropsBufferedAndQueuedAudio) {
  Start(30 * kSec, 2);
  Push(0, true);
  PushAudio(1 * kMs, 0);
  PushAudio(2 * kMs, 1);
  buffer->SetAudioTracks(AudioTracks(2));  // the same list changes nothing
  ReplayBuffer::Clip clip = Clip(kSec);
  EXPECT_EQ(clip.audioPackets[0].size() + clip.audioPackets[1].size(), 2u);

  PushAudio(3 * kMs, 0);  // queued, maybe not yet written
  buffer->SetAudioTracks(AudioTracks(2, "Renamed "));
  PushAudio(4 * kMs, 0);
  buffer->PushAudio(5, Audio(5, T0 + 5 * kMs));  // beyond the list: ignored
  clip = Clip(kSec);
  ASSERT_EQ(clip.audioTracks, AudioTracks(2, "Renamed "));
  EXPECT_EQ(PtsOf(clip.audioPackets[0]), (Pts{T0 + 4 * kMs}));
  EXPECT_TRUE(clip.audioPackets[1].empty());
  EXPECT_EQ(clip.videoPackets.size(), 1u);  // video is untouched
}

TEST_F(ReplayBufferTest, NonKeyframeWithChangedParametersIsNotIndexed) {
  Start();
  Push(0, true);
  VideoTrackInfo sameButFps = VideoInfo(0);
  sameButFps.fps = 60;  // not a change
  buffer->PushVideo(sameButFps, Video(T0 + 100 * kMs, false));
  buffer->PushVideo(VideoInfo(1), Video(T0 + 200 * kMs, false));  // a change without a keyframe
  EXPECT_EQ(VideoPts(Clip(kSec)), (Pts{0, 100 * kMs}));

  buffer->PushVideo(VideoInfo(1), Video(T0 + 400 * kMs, true));
  buffer->PushVideo(VideoInfo(1), Video(T0 + 500 * kMs, false));
  const ReplayBuffer::Clip clip = Clip(kSec);
  EXPECT_EQ(VideoPts(clip), (Pts{400 * kMs, 500 * kMs}));  // never across a change
  EXPECT_EQ(clip.video, VideoInfo(1));
  EXPECT_EQ(Gops(), 2u);
}

TEST_F(ReplayBufferTest, DeletesLeftoverSegmentFilesAtStart) {
  // What "*.kpseg" matches: any name ending so, in any case, ".kpseg" too.
  for (const wchar_t* name : {L"000007.kpseg", L".kpseg", L"x.KPSeg"}) WriteFileBytes(dir.File(name), "old");
  for (const wchar_t* name : {L"notes.txt", L"kpseg", L"a.kpseg.txt"}) WriteFileBytes(dir.File(name), "keep");
  Start(300 * kSec);
  EXPECT_TRUE(log.Has("buffer: removed 3 leftover segment file(s)"));
  EXPECT_TRUE(log.Has("buffer: on disk in " + dir.utf8() + ", 300s window"));
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"a.kpseg.txt", "kpseg", "notes.txt"}));
  EXPECT_TRUE(FileExists(dir.File(L"kaptora.lock")));
  buffer.reset();
  EXPECT_FALSE(FileExists(dir.File(L"kaptora.lock")));
  log.Clear();
  Start(300 * kSec);
  EXPECT_EQ(log.CountStartingWith("buffer: removed"), 0);  // nothing to report
}

// A folder another engine holds is recorded into through a folder of this
// process, which goes at the end; folders left by dead processes go at the
// start of a buffer that holds the folder, counted with the leftovers.
TEST_F(ReplayBufferTest, FolderHeldByAnotherProcessGetsAFolderOfThisProcess) {
  const std::wstring own = dir.File(std::to_wstring(CurrentProcessId()));
  WriteFileBytes(dir.File(L"000001.kpseg"), "theirs");
  ASSERT_TRUE(files.HoldLockElsewhere(dir.File(L"kaptora.lock")));
  Start();
  Push(0, true);
  EXPECT_EQ(Clip(kSec).videoPackets[0].segment->path, JoinPath(own, L"000001.kpseg"));
  EXPECT_EQ(ReadFileBytes(dir.File(L"000001.kpseg")), "theirs");
  EXPECT_TRUE(log.Has("buffer: on disk in " + WideToUtf8(own) + ", 30s window"));
  buffer.reset();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(own)));

  files.ClearFaults();  // that engine is gone, and so is a second one that left its folder
  for (const wchar_t* dead : {L"/4000001/000002.kpseg", L"/4000001/000003.kpseg", L"/4000002/kaptora.lock",
                              L"/4000003/000001.kpseg", L"/4000003/notes.txt", L"/n4000004/000001.kpseg"}) {
    std::filesystem::create_directories(std::filesystem::path(dir.path() + dead).parent_path());
    WriteFileBytes(dir.path() + dead, "old");
  }
  ASSERT_TRUE(files.HoldLockElsewhere(dir.File(L"4000002/kaptora.lock")));  // alive
  WriteFileBytes(dir.File(L"4000002/000001.kpseg"), "alive");
  log.Clear();
  Start();
  EXPECT_TRUE(log.Has("buffer: removed 4 leftover segment file(s)"));
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"4000002", "4000003", "n4000004"}));
  EXPECT_EQ(FilesIn(dir.File(L"4000003")), std::vector<std::string>{"notes.txt"});
  EXPECT_EQ(ReadFileBytes(dir.File(L"4000002/000001.kpseg")), "alive");
  EXPECT_TRUE(FileExists(dir.File(L"n4000004/000001.kpseg")));
}

TEST_F(ReplayBufferTest, SegmentFilesLiveAsLongAsAClipHoldsThem) {
  Start();
  Push(0, true);
  Push(12 * kSec, true);
  ReplayBuffer::Clip clip;
  ASSERT_TRUE(buffer->TakeClip(20 * kSec, T0 + 20 * kSec, clip));
  Push(24 * kSec, true);  // never waited for: the destructor still writes it
  buffer.reset();
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"000001.kpseg", "000002.kpseg"}));
  EXPECT_EQ(VideoPts(clip), (Pts{0, 12 * kSec}));
  clip = {};
  EXPECT_TRUE(FilesIn(dir.path()).empty());
}

// --- A disk that refuses, fails, fills up or stalls --------------------------

// After a failed write nothing more goes into that file: until a keyframe
// opens a new one, video and audio are dropped; what is indexed stays true.
TEST_F(ReplayBufferTest, FailedWriteDegradesAndRecoversWithTrueOffsets) {
  files.FailWritesAfter(L"000001.kpseg", 2 * 132 + 50);  // two records fit
  Start();
  Push(0, true);
  Push(100 * kMs, false);
  Clip(kSec);  // flushed
  Push(200 * kMs, false);
  PushAudio(210 * kMs);
  Clip(kSec);  // this flush fails
  EXPECT_TRUE(buffer->GetStatus().degraded);
  Push(300 * kMs, false);
  PushAudio(310 * kMs);
  Push(400 * kMs, true, 77);  // young, but the damaged file is not continued
  PushAudio(410 * kMs);
  Push(500 * kMs, false, 55);
  const ReplayBuffer::Clip clip = Clip(kSec);
  EXPECT_EQ(VideoPts(clip), (Pts{0, 100 * kMs, 400 * kMs, 500 * kMs}));
  EXPECT_EQ(PtsOf(clip.audioPackets[0]), (Pts{T0 + 410 * kMs}));
  EXPECT_EQ(clip.videoPackets[2].segment->index, 2u);
  EXPECT_EQ(RecordBytes(clip.audioPackets[0][0]), PayloadFor(1, T0 + 410 * kMs, 40));
  EXPECT_TRUE(buffer->GetStatus().degraded);  // never cleared
  EXPECT_EQ(log.CountStartingWith("buffer: write failed"), 1);
  EXPECT_TRUE(log.Has(kWriteFailed));
}

// Below 1 GiB free the oldest segments go whole, never the one being written
// nor the newest group, and only when nothing but the buffer holds them; a
// free space the system cannot tell counts as plenty.
TEST_F(ReplayBufferTest, LowDiskSpaceDropsWholeSegmentsNoClipHolds) {
  struct Case {
    const char* name;
    int64_t gop;
    bool queryFails, holdClip;
    uint64_t gopsLeft;
  };
  for (const Case& c : {Case{"two segments", 2 * kSec, false, false, 6}, Case{"query fails", 2 * kSec, true, false, 11},
                        Case{"a clip holds the oldest", 2 * kSec, false, true, 11},
                        Case{"all in the segment being written", 20 * kSec, false, false, 2}}) {
    SCOPED_TRACE(c.name);
    buffer.reset();
    log.Clear();
    files.ClearFaults();
    files.SetFreeSpace(512ull << 20);
    if (c.queryFails) files.FailFreeSpace();
    Start(300 * kSec);
    // Segments 1 and 2 (one segment of one group for a 20 s group).
    PushRun(0, 20 * kSec, c.gop);
    ReplayBuffer::Clip held = c.holdClip ? Clip(20 * kSec) : ReplayBuffer::Clip{};
    clock.Advance(5 * kSec);  // the check at the first segment was 5 s ago
    Push(20 * kSec, true);
    Clip(21 * kSec);
    EXPECT_EQ(Gops(), c.gopsLeft);
    const bool dropped = c.gopsLeft == 6;
    EXPECT_EQ(buffer->GetStatus().degraded, dropped);
    EXPECT_EQ(log.Has("buffer: low disk space in " + dir.utf8() + " — dropped the oldest part"), dropped);
    if (!c.holdClip) continue;
    // Once the clip is written and gone, the next check drops both old segments.
    held = {};
    clock.Advance(5 * kSec);
    Push(30 * kSec, true);
    EXPECT_EQ(VideoPts(Clip(31 * kSec)), (Pts{20 * kSec, 30 * kSec}));
    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"000003.kpseg", "000004.kpseg"}));
  }
}

TEST_F(ReplayBufferTest, LowDiskSpaceIsCheckedAtMostEveryFiveSecondsAndLoggedOnce) {
  Start(300 * kSec);
  PushRun(0, 10 * kSec);  // checked at the first roll: plenty of space
  files.SetFreeSpace(100ull << 20);
  PushRun(10 * kSec, 20 * kSec);  // roll at 10 s: too early for a check
  EXPECT_EQ(Gops(), 10u);
  clock.Advance(5 * kSec);
  PushRun(20 * kSec, 30 * kSec);  // roll at 20 s: segment 1 goes, with its audio
  EXPECT_EQ(Gops(), 10u);
  EXPECT_EQ(Clip(30 * kSec).audioPackets[0].front().pts, T0 + 10 * kSec);
  EXPECT_FALSE(FileExists(dir.File(L"000001.kpseg")));
  clock.Advance(5 * kSec);
  PushRun(30 * kSec, 40 * kSec);  // due again: drops again, without a second line
  EXPECT_EQ(Clip(40 * kSec).start, T0 + 20 * kSec);
  EXPECT_EQ(log.CountStartingWith("buffer: low disk space"), 1);
}

// --- Gaps in the video: the window and clips are recorded time ----------------

// 10 frames/s, keyframes every 2 s: 15 s recorded, 40 s without video, 4 s more.
TEST_F(ReplayBufferTest, AGapIsCutOutOfTheWindowAndTheClip) {
  Start(10 * kSec);
  PushRun(0, 15 * kSec);
  for (int64_t a = 15 * kSec; a < 55 * kSec; a += 20 * kMs) PushAudio(a);  // the mixer goes on
  PushRun(55 * kSec, 59 * kSec);
  ReplayBuffer::Clip clip = Clip(59 * kSec);
  // 4 s after the gap and the groups at 8 s and later before it, not a
  // frozen first frame 40 s long.
  EXPECT_EQ(clip.start, T0 + 8 * kSec);
  EXPECT_EQ(clip.cuts, (CutList{{T0 + 15 * kSec, 40 * kSec}}));
  EXPECT_EQ(clip.RecordedDuration(), 11 * kSec);
  EXPECT_EQ(buffer->GetStatus().duration, 11 * kSec);
  EXPECT_EQ(Gops(), 6u);  // 8 .. 14, 55, 57
  // No audio from inside the gap: it was kept for 1 s past the last picture.
  for (const PacketRecord& r : clip.audioPackets[0]) EXPECT_FALSE(r.pts >= T0 + 15 * kSec && r.pts < T0 + 55 * kSec);
  EXPECT_EQ(clip.audioPackets[0].size(), 11u * 50);

  // Paused for ten minutes: a save still ends at the last picture, and the
  // status says what it would give.
  clip = Clip(659 * kSec);
  EXPECT_EQ(std::tuple(clip.start, clip.end, clip.RecordedDuration()), std::tuple(T0 + 8 * kSec, T0 + 59 * kSec, 11 * kSec));
  ReplayBuffer::Clip window;
  ASSERT_TRUE(buffer->TakeClip(10 * kSec, T0 + 659 * kSec, window));
  EXPECT_EQ(window.start, T0 + 8 * kSec);
  // A stall of 1 s is no cut; a pause of 1 s plus one tick is.
  PushRun(59 * kSec + kSec, 61 * kSec);
  PushRun(61 * kSec + kSec + 1, 63 * kSec);
  EXPECT_EQ(Clip(63 * kSec).cuts.size(), 2u);
  // Once the window has moved past them, the cuts go with the groups.
  PushRun(63 * kSec, 76 * kSec);
  clip = Clip(76 * kSec);
  EXPECT_TRUE(clip.cuts.empty());
  EXPECT_EQ(clip.RecordedDuration(), clip.end - clip.start);
}

// Without video (no capture chain), audio costs nothing: an hour of it adds
// less than a second's worth of bytes, so neither disk nor index grow.
TEST_F(ReplayBufferTest, AudioIsKeptOnlyWhileVideoFlows) {
  Start(30 * kSec);
  PushRun(0, 2 * kSec);
  const uint64_t before = buffer->GetStatus().diskBytes;
  for (int64_t a = 2 * kSec + 10 * kMs; a < 3602 * kSec; a += 20 * kMs) PushAudio(a);
  Clip(3602 * kSec);
  // 1 s past the last picture is still kept: 50 packets of 20 ms.
  EXPECT_EQ(buffer->GetStatus().diskBytes - before, 50u * (32 + 40));
  // Video back: audio with it is kept again.
  PushRun(3602 * kSec, 3604 * kSec);
  EXPECT_EQ(Clip(3604 * kSec).audioPackets[0].back().pts, T0 + 3604 * kSec - 20 * kMs);
}

// Without a segment (its file could not be created) nothing is kept until a
// keyframe opens one; a folder where none can be created gives one line and
// a status flag per episode, however many keyframes try.
TEST_F(ReplayBufferTest, UncreatableSegmentsDropUntilAKeyframeOpensOneAndAreReportedPerEpisode) {
  files.FailCreate(L".kpseg", kErrorAccessDenied);
  Start();
  for (int episode = 0; episode < 2; ++episode) {
    SCOPED_TRACE(episode);
    const int64_t at = episode * 100 * kSec;
    PushAudio(at);
    Push(at, false);
    for (int64_t t = at + 50 * kMs; t < at + 10 * kSec; t += kSec) {
      Push(t, true);
      PushAudio(t + 10 * kMs);
      Push(t + 50 * kMs, false);
    }
    ReplayBuffer::Clip clip;
    EXPECT_EQ(buffer->TakeClip(10 * kSec, T0 + at + 10 * kSec, clip), episode > 0);
    EXPECT_TRUE(buffer->GetStatus().unwritable);
    EXPECT_EQ(log.CountStartingWith("buffer: cannot create segment file (error 5)"), episode + 1);
    files.ClearFaults();
    Push(at + 10 * kSec, true);
    PushAudio(at + 10 * kSec + 10 * kMs);
    clip = Clip(at + 11 * kSec);
    EXPECT_FALSE(buffer->GetStatus().unwritable);
    EXPECT_EQ(log.CountStartingWith("buffer: segment file recovered after 10 failed attempts"), episode + 1);
    const Pts video = VideoPts(clip), audio = PtsOf(clip.audioPackets[0]);
    EXPECT_EQ(episode == 0 ? video : Pts{video.back()}, (Pts{at + 10 * kSec}));
    EXPECT_EQ(episode == 0 ? audio : Pts{audio.back()}, (Pts{T0 + at + 10 * kSec + 10 * kMs}));
    files.FailCreate(L".kpseg", kErrorAccessDenied);
  }
}

// The gate holds the writer inside a write, so a whole batch queues behind
// it and each flush's effect shows without asking for one: the idle flush,
// the flush once exactly 1 MiB is staged, and a clip's 3 s wait for the
// writer. The disk then fails the next flush: its record is lost, and the
// next keyframe, young as it is, opens a new segment.
constexpr size_t kEighth = 128 * 1024 - 32;  // with its header, an eighth of 1 MiB

TEST_F(ReplayBufferTest, StalledDiskFlushesAtOneMebibyteAndClipsWaitThreeSeconds) {
  files.FailWritesAfter(L"000001.kpseg", 132 + (1 << 20));
  HoldFirstKeyframe();
  for (int k = 1; k <= 9; ++k) Push(k * 100 * kMs, false, kEighth);  // one batch behind the gate
  // The keyframe's idle flush and the 1 MiB flush of the first eight
  // pictures pass; the ninth waits for the next idle flush, now at the gate.
  files.AllowWrites(2);
  ASSERT_TRUE(Eventually([&] { return files.heldWrites() == 1 && buffer->GetStatus().duration == 900 * kMs; }));
  const auto before = std::chrono::steady_clock::now();
  ReplayBuffer::Clip clip;
  EXPECT_TRUE(buffer->TakeClip(60 * kSec, T0 + 10 * kSec, clip));
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
  EXPECT_GE(waited, 2.9);  // gave the writer its 3 s ...
  EXPECT_LT(waited, 8.0);  // ... and no more
  EXPECT_EQ(clip.videoPackets.size(), 9u);  // what was indexed by then
  EXPECT_FALSE(buffer->GetStatus().degraded);
  Push(1000 * kMs, true);
  files.ReleaseWrites();
  clip = Clip(10 * kSec);
  EXPECT_EQ(VideoPts(clip), (Pts{0, 100 * kMs, 200 * kMs, 300 * kMs, 400 * kMs, 500 * kMs, 600 * kMs, 700 * kMs,
                                 800 * kMs, 1000 * kMs}));
  EXPECT_EQ(clip.videoPackets.back().segment->index, 2u);
  EXPECT_EQ(log.CountStartingWith(kWriteFailed), 1);
}

// Video and audio producers on their own threads, a host thread taking clips
// and changing the window, and the writer rolling and trimming underneath:
// every clip must be consistent and point at its own bytes.
TEST(ReplayBufferThreadsTest, ConcurrentProducersAndClipsStayConsistent) {
  TempFolder dir;
  auto buffer = std::make_unique<ReplayBuffer>(dir.path(), 3 * kSec);
  buffer->SetAudioTracks(AudioTracks(1));
  constexpr int kFrames = 600;  // 60 s at 10 frames/s, keyframe every second
  std::atomic<int64_t> videoPushed{0};
  std::thread video([&] {
    for (int i = 0; i < kFrames; ++i) {
      buffer->PushVideo(VideoInfo(), Video(T0 + i * 100 * kMs, i % 10 == 0, 100 * kMs, 200 + i % 7));
      videoPushed = T0 + (i + 1) * 100 * kMs;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  std::thread audio([&] {
    for (int i = 0; i < kFrames * 5; ++i) buffer->PushAudio(0, Audio(0, T0 + i * 20 * kMs));
  });
  for (int clips = 0; clips < 20 || videoPushed.load() < T0 + kFrames * 100 * kMs;) {
    ReplayBuffer::Clip clip;
    if (buffer->TakeClip(2 * kSec, videoPushed.load(), clip)) {
      buffer->ExtendClipAudio(clip);
      const PacketRecord &first = clip.videoPackets.front(), &last = clip.videoPackets.back();
      EXPECT_EQ(std::tuple(first.keyframe, first.pts, last.pts - first.pts),
                std::tuple(true, clip.start, static_cast<int64_t>(clip.videoPackets.size() - 1) * 100 * kMs));
      EXPECT_EQ(RecordBytes(last), PayloadFor(0, last.pts, last.size));
      for (size_t i = 1; i < clip.audioPackets[0].size(); ++i) {
        EXPECT_GT(clip.audioPackets[0][i].pts, clip.audioPackets[0][i - 1].pts);
      }
    }
    buffer->SetWindow((++clips % 2 == 0 ? 3 : 4) * kSec);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  video.join();
  audio.join();
  // Trimming never drops below the window, but a window that grew later does
  // not bring trimmed groups back.
  EXPECT_LE(Everything(*buffer, T0 + 61 * kSec).start, T0 + 57 * kSec);
  buffer.reset();
  EXPECT_TRUE(FilesIn(dir.path()).empty());
}

}  // namespace
}  // namespace kp::test
