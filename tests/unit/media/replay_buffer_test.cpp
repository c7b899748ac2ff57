#include "media/replay_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "media/buffer_test_util.h"
#include "platform/path.h"
#include "support/fake_clock.h"
#include "support/fault_files.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

namespace kp::test {
namespace {

constexpr int64_t T0 = 1000 * kSec;  // streams start on a running clock

uint64_t Le(const std::string& bytes, size_t at, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
  return v;
}

std::vector<std::string> SegmentFiles(const std::wstring& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(folder))) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ReplayBufferTest, WritesRecordsWithHeadersAndTrueOffsets) {
  TempFolder dir;
  ReplayBuffer buffer(dir.path(), 30 * kSec);
  buffer.SetAudioTracks(AudioTracks(2));
  buffer.PushVideo(VideoInfo(), Video(T0, true, 100 * kMs, 300));
  buffer.PushAudio(1, Audio(1, T0 + 5 * kMs, 21 * kMs, 17));
  buffer.PushVideo(VideoInfo(), Video(T0 + 100 * kMs, false, 100 * kMs, 0));

  ReplayBuffer::Clip clip = Everything(buffer, T0 + kSec);
  ASSERT_EQ(clip.videoPackets.size(), 2u);
  ASSERT_EQ(clip.audioPackets.size(), 2u);
  ASSERT_EQ(clip.audioPackets[1].size(), 1u);
  EXPECT_TRUE(clip.audioPackets[0].empty());

  const std::wstring path = JoinPath(dir.path(), L"000001.kpseg");
  EXPECT_EQ(clip.videoPackets[0].segment->path, path);
  EXPECT_EQ(clip.videoPackets[0].segment->index, 1u);
  const std::string file = ReadFileBytes(path);
  ASSERT_EQ(file.size(), 32u + 300 + 32 + 17 + 32 + 0);

  // Record 1: video keyframe.
  EXPECT_EQ(file.substr(0, 4), "KPPK");
  EXPECT_EQ(Le(file, 4, 1), 0u);
  EXPECT_EQ(Le(file, 5, 1), 1u);
  EXPECT_EQ(Le(file, 6, 2), 0u);
  EXPECT_EQ(Le(file, 8, 4), 300u);
  EXPECT_EQ(Le(file, 12, 4), 0u);
  EXPECT_EQ(static_cast<int64_t>(Le(file, 16, 8)), T0);
  EXPECT_EQ(static_cast<int64_t>(Le(file, 24, 8)), 100 * kMs);
  EXPECT_EQ(file.substr(32, 300), AsString(PayloadFor(0, T0, 300)));
  // Record 2: audio track 1 is stream 2; audio is always a keyframe.
  const size_t a = 32 + 300;
  EXPECT_EQ(file.substr(a, 4), "KPPK");
  EXPECT_EQ(Le(file, a + 4, 1), 2u);
  EXPECT_EQ(Le(file, a + 5, 1), 1u);
  EXPECT_EQ(Le(file, a + 8, 4), 17u);
  EXPECT_EQ(static_cast<int64_t>(Le(file, a + 16, 8)), T0 + 5 * kMs);
  EXPECT_EQ(static_cast<int64_t>(Le(file, a + 24, 8)), 21 * kMs);
  // Record 3: an empty non-keyframe still gets its header.
  EXPECT_EQ(Le(file, a + 32 + 17 + 5, 1), 0u);

  EXPECT_EQ(clip.videoPackets[0].offset, 32u);
  EXPECT_EQ(clip.audioPackets[1][0].offset, a + 32);
  EXPECT_EQ(clip.videoPackets[1].offset, a + 32 + 17 + 32);
  EXPECT_EQ(RecordBytes(clip.audioPackets[1][0]), AsString(PayloadFor(2, T0 + 5 * kMs, 17)));

  const BufferStatus status = buffer.GetStatus();
  EXPECT_EQ(status.diskBytes, file.size());
  EXPECT_EQ(status.gopCount, 1u);
  EXPECT_EQ(status.duration, 200 * kMs);
  EXPECT_FALSE(status.degraded);
}

TEST(ReplayBufferTest, KeepsNothingBeforeTheFirstKeyframe) {
  TempFolder dir;
  ReplayBuffer buffer(dir.path(), 30 * kSec);
  buffer.SetAudioTracks(AudioTracks(1));
  buffer.PushAudio(0, Audio(0, T0));
  buffer.PushVideo(VideoInfo(), Video(T0 + 10 * kMs, false));
  ReplayBuffer::Clip clip;
  EXPECT_FALSE(buffer.TakeClip(10 * kSec, T0 + kSec, clip));
  EXPECT_TRUE(SegmentFiles(dir.path()).empty());  // no segment opened yet
  EXPECT_EQ(buffer.GetStatus().diskBytes, 0u);

  buffer.PushVideo(VideoInfo(), Video(T0 + 100 * kMs, true));
  buffer.PushAudio(0, Audio(0, T0 + 120 * kMs));
  buffer.PushVideo(VideoInfo(), Video(T0 + 200 * kMs, false));
  clip = Everything(buffer, T0 + kSec);
  EXPECT_EQ(PtsOf(clip.videoPackets), (std::vector<int64_t>{T0 + 100 * kMs, T0 + 200 * kMs}));
  EXPECT_EQ(PtsOf(clip.audioPackets[0]), (std::vector<int64_t>{T0 + 120 * kMs}));
  EXPECT_EQ(SegmentFiles(dir.path()), (std::vector<std::string>{"000001.kpseg"}));
}

// A long run at 10 frames/s with a keyframe every 2 s and one audio track.
struct LongRun {
  int64_t end = 0;
  void Push(ReplayBuffer& buffer, int64_t from, int64_t to) {
    for (int64_t t = from; t < to; t += 100 * kMs) {
      const bool key = (t - T0) % (2 * kSec) == 0;
      buffer.PushVideo(VideoInfo(), Video(t, key));
      // Audio frames of 20 ms, pushed alongside the picture they overlap.
      for (int64_t a = t; a < t + 100 * kMs; a += 20 * kMs) buffer.PushAudio(0, Audio(0, a));
    }
    end = to;
  }
};

TEST(ReplayBufferTest, TrimKeepsAFullWindowAndDeletesOldSegments) {
  TempFolder dir;
  auto buffer = std::make_shared<ReplayBuffer>(dir.path(), 30 * kSec);
  buffer->SetAudioTracks(AudioTracks(1));
  LongRun run;
  run.Push(*buffer, T0, T0 + 101 * kSec);  // last picture ends at 101 s

  ReplayBuffer::Clip clip = Everything(*buffer, run.end);
  const int64_t latestVideoEnd = T0 + 101 * kSec;
  // The oldest group starts at or before the window's start, the second one after it.
  EXPECT_EQ(clip.start, T0 + 70 * kSec);
  EXPECT_LE(clip.start, latestVideoEnd - 30 * kSec);
  const BufferStatus status = buffer->GetStatus();
  EXPECT_EQ(status.duration, latestVideoEnd - clip.start);
  EXPECT_EQ(status.gopCount, 16u);  // 70, 72, ..., 100
  // Audio that ends before the oldest keyframe is gone; the rest is there.
  ASSERT_FALSE(clip.audioPackets[0].empty());
  EXPECT_EQ(clip.audioPackets[0].front().pts, clip.start);
  EXPECT_EQ(clip.audioPackets[0].size(), 31u * 50);

  // Segments roll every 10 s: files for 70..80, 80..90, 90..100 and 100..
  // remain; older ones were deleted once nothing referred to them, which
  // also needs their audio records trimmed.
  EXPECT_EQ(SegmentFiles(dir.path()),
            (std::vector<std::string>{"000008.kpseg", "000009.kpseg", "000010.kpseg", "000011.kpseg"}));
  uint64_t onDisk = 0;
  for (const std::string& name : SegmentFiles(dir.path())) {
    onDisk += std::filesystem::file_size(std::filesystem::path(dir.path()) / name);
  }
  EXPECT_EQ(status.diskBytes, onDisk);

  // A shorter window trims at once.
  buffer->SetWindow(5 * kSec);
  EXPECT_EQ(buffer->GetWindow(), 5 * kSec);
  EXPECT_EQ(buffer->GetStatus().duration, latestVideoEnd - (T0 + 96 * kSec));
  clip = {};
  EXPECT_EQ(SegmentFiles(dir.path()), (std::vector<std::string>{"000010.kpseg", "000011.kpseg"}));
}

TEST(ReplayBufferTest, SegmentRollsAtTheFirstKeyframeTenSecondsAfterItsStart) {
  struct Case {
    int64_t secondKeyframe;
    uint64_t expectedSegment;
  };
  for (const Case& c : {Case{9'900 * kMs, 1}, Case{10'000 * kMs, 2}, Case{10'000 * kMs - 1, 1}}) {
    SCOPED_TRACE(c.secondKeyframe);
    TempFolder dir;
    ReplayBuffer buffer(dir.path(), 60 * kSec);
    buffer.PushVideo(VideoInfo(), Video(T0, true));
    // Non-keyframes never roll, however old the segment is.
    buffer.PushVideo(VideoInfo(), Video(T0 + 9 * kSec, false));
    buffer.PushVideo(VideoInfo(), Video(T0 + c.secondKeyframe - 1, false, 1));
    buffer.PushVideo(VideoInfo(), Video(T0 + c.secondKeyframe, true));
    buffer.PushVideo(VideoInfo(), Video(T0 + c.secondKeyframe + 100 * kMs, false));
    ReplayBuffer::Clip clip = Everything(buffer, T0 + 30 * kSec);
    ASSERT_EQ(clip.videoPackets.size(), 5u);
    EXPECT_EQ(clip.videoPackets[2].segment->index, 1u);
    EXPECT_EQ(clip.videoPackets[3].segment->index, c.expectedSegment);
    EXPECT_EQ(clip.videoPackets[4].segment->index, c.expectedSegment);
    // A new segment starts with its keyframe's record.
    if (c.expectedSegment == 2) {
      EXPECT_EQ(clip.videoPackets[3].offset, 32u);
    }
  }
}

TEST(ReplayBufferTest, SegmentRollsAtTheNextKeyframeOnceItHolds512MiB) {
  TempFolder dir;
  ReplayBuffer buffer(dir.path(), 60 * kSec);
  constexpr uint64_t kLimit = 536'870'912;
  constexpr size_t kPiece = 8 * 1024 * 1024;
  // Fill segment 1 to one byte below the limit: 63 records of 8 MiB payload,
  // then one that makes up the rest (each record adds 32 header bytes).
  // Large payloads are filled with memset-speed constants; their bytes do not matter here.
  auto big = [](int64_t pts, bool key, size_t size) {
    auto p = std::make_shared<EncodedPacket>();
    p->pts = pts;
    p->duration = 1;
    p->keyframe = key;
    p->data.assign(size, static_cast<uint8_t>(pts));
    return p;
  };
  int64_t t = T0;
  buffer.PushVideo(VideoInfo(), big(t, true, kPiece));
  for (int i = 1; i < 63; ++i) {
    buffer.PushVideo(VideoInfo(), big(++t, false, kPiece));
    if (i % 8 == 0) Everything(buffer, T0 + kSec);  // bound the memory held by the queue
  }
  const uint64_t used = 63 * (32 + kPiece);
  buffer.PushVideo(VideoInfo(), big(++t, false, kLimit - 1 - used - 32));
  // Young and one byte short of the limit: stays.
  buffer.PushVideo(VideoInfo(), Video(++t, true, 1, 10));
  // Now over the limit and still young: a keyframe rolls, a non-keyframe would not.
  buffer.PushVideo(VideoInfo(), Video(++t, false, 1, 10));
  buffer.PushVideo(VideoInfo(), Video(++t, true, 1, 10));

  ReplayBuffer::Clip clip = Everything(buffer, T0 + kSec);
  ASSERT_EQ(clip.videoPackets.size(), 67u);
  EXPECT_EQ(clip.videoPackets[63].segment->index, 1u);
  EXPECT_EQ(clip.videoPackets[64].segment->index, 1u);
  EXPECT_EQ(clip.videoPackets[65].segment->index, 1u);
  EXPECT_EQ(clip.videoPackets[66].segment->index, 2u);
  EXPECT_EQ(clip.videoPackets[66].offset, 32u);
  EXPECT_EQ(buffer.GetStatus().diskBytes, kLimit - 1 + 3 * (32 + 10));
}

TEST(ReplayBufferTest, ChangingTheAudioTrackListDropsBufferedAndQueuedAudio) {
  TempFolder dir;
  ReplayBuffer buffer(dir.path(), 30 * kSec);
  buffer.SetAudioTracks(AudioTracks(2));
  buffer.PushVideo(VideoInfo(), Video(T0, true));
  buffer.PushAudio(0, Audio(0, T0 + 1 * kMs));
  buffer.PushAudio(1, Audio(1, T0 + 2 * kMs));
  ReplayBuffer::Clip clip = Everything(buffer, T0 + kSec);
  EXPECT_EQ(clip.audioPackets[0].size() + clip.audioPackets[1].size(), 2u);

  // The same list again changes nothing.
  buffer.SetAudioTracks(AudioTracks(2));
  clip = Everything(buffer, T0 + kSec);
  EXPECT_EQ(clip.audioPackets[0].size() + clip.audioPackets[1].size(), 2u);

  buffer.PushAudio(0, Audio(0, T0 + 3 * kMs));  // queued, maybe not yet written
  buffer.SetAudioTracks(AudioTracks(2, "Renamed "));
  buffer.PushAudio(0, Audio(0, T0 + 4 * kMs));
  // A track index beyond the list is ignored.
  buffer.PushAudio(5, Audio(5, T0 + 5 * kMs));
  clip = Everything(buffer, T0 + kSec);
  ASSERT_EQ(clip.audioTracks, AudioTracks(2, "Renamed "));
  EXPECT_EQ(PtsOf(clip.audioPackets[0]), (std::vector<int64_t>{T0 + 4 * kMs}));
  EXPECT_TRUE(clip.audioPackets[1].empty());
  EXPECT_EQ(clip.videoPackets.size(), 1u);  // video is untouched

  buffer.SetAudioTracks(AudioTracks(1, "Renamed "));
  clip = Everything(buffer, T0 + kSec);
  ASSERT_EQ(clip.audioPackets.size(), 1u);
  EXPECT_TRUE(clip.audioPackets[0].empty());
}

TEST(ReplayBufferTest, NonKeyframeWithChangedParametersIsNotIndexed) {
  TempFolder dir;
  ReplayBuffer buffer(dir.path(), 30 * kSec);
  buffer.PushVideo(VideoInfo(0), Video(T0, true));
  buffer.PushVideo(VideoInfo(0), Video(T0 + 100 * kMs, false));
  VideoTrackInfo sameButFps = VideoInfo(0);
  sameButFps.fps = 60;  // does not count as a change
  buffer.PushVideo(sameButFps, Video(T0 + 200 * kMs, false));
  buffer.PushVideo(VideoInfo(1), Video(T0 + 300 * kMs, false));  // change without keyframe
  ReplayBuffer::Clip clip = Everything(buffer, T0 + kSec);
  EXPECT_EQ(PtsOf(clip.videoPackets), (std::vector<int64_t>{T0, T0 + 100 * kMs, T0 + 200 * kMs}));

  buffer.PushVideo(VideoInfo(1), Video(T0 + 400 * kMs, true));
  buffer.PushVideo(VideoInfo(1), Video(T0 + 500 * kMs, false));
  clip = Everything(buffer, T0 + kSec);
  // A clip never crosses a parameter change.
  EXPECT_EQ(PtsOf(clip.videoPackets), (std::vector<int64_t>{T0 + 400 * kMs, T0 + 500 * kMs}));
  EXPECT_EQ(clip.video, VideoInfo(1));
  EXPECT_EQ(buffer.GetStatus().gopCount, 2u);
}

TEST(ReplayBufferTest, DeletesLeftoverSegmentFilesAtStart) {
  TempFolder dir;
  // What "*.kpseg" matches: any name ending so, in any case, ".kpseg" too.
  for (const wchar_t* name : {L"000007.kpseg", L".kpseg", L"x.KPSeg"}) WriteFileBytes(dir.File(name), "old");
  for (const wchar_t* name : {L"notes.txt", L"kpseg", L"a.kpseg.txt"}) WriteFileBytes(dir.File(name), "keep");
  LogCapture log;
  {
    ReplayBuffer buffer(dir.path(), 300 * kSec);
    EXPECT_TRUE(log.Has("buffer: removed 3 leftover segment file(s)"));
    EXPECT_TRUE(log.Has("buffer: on disk in " + dir.utf8() + ", 300s window"));
    EXPECT_EQ(SegmentFiles(dir.path()), (std::vector<std::string>{"a.kpseg.txt", "kpseg", "notes.txt"}));
  }
  log.Clear();
  ReplayBuffer again(dir.path(), 300 * kSec);
  EXPECT_EQ(log.CountStartingWith("buffer: removed"), 0);  // nothing to report
}

TEST(ReplayBufferTest, SegmentFilesLiveAsLongAsAClipHoldsThem) {
  TempFolder dir;
  ReplayBuffer::Clip clip;
  std::wstring path;
  {
    ReplayBuffer buffer(dir.path(), 30 * kSec);
    buffer.PushVideo(VideoInfo(), Video(T0, true));
    buffer.PushVideo(VideoInfo(), Video(T0 + 12 * kSec, true));
    ASSERT_TRUE(buffer.TakeClip(20 * kSec, T0 + 20 * kSec, clip));
    path = clip.videoPackets[0].segment->path;
    // Pushed but never waited for: the destructor still writes it.
    buffer.PushVideo(VideoInfo(), Video(T0 + 24 * kSec, true));
  }
  EXPECT_EQ(SegmentFiles(dir.path()), (std::vector<std::string>{"000001.kpseg", "000002.kpseg"}));
  EXPECT_EQ(RecordBytes(clip.videoPackets[1]), AsString(PayloadFor(0, T0 + 12 * kSec, 100)));
  clip = {};
  EXPECT_TRUE(SegmentFiles(dir.path()).empty());
}

TEST(ReplayBufferTest, SegmentCreateFailureDropsUntilTheNextKeyframe) {
  TempFolder dir;
  FaultFiles files;
  files.FailCreate(L"000001.kpseg", kErrorAccessDenied);
  LogCapture log;
  ReplayBuffer buffer(dir.path(), 30 * kSec, files);
  buffer.SetAudioTracks(AudioTracks(1));
  buffer.PushVideo(VideoInfo(), Video(T0, true));
  buffer.PushAudio(0, Audio(0, T0 + 10 * kMs));
  buffer.PushVideo(VideoInfo(), Video(T0 + 100 * kMs, false));
  buffer.PushVideo(VideoInfo(), Video(T0 + 200 * kMs, true));
  buffer.PushAudio(0, Audio(0, T0 + 210 * kMs));
  ReplayBuffer::Clip clip = Everything(buffer, T0 + kSec);
  EXPECT_TRUE(log.Has("buffer: cannot create segment file (error 5)"));
  EXPECT_EQ(PtsOf(clip.videoPackets), (std::vector<int64_t>{T0 + 200 * kMs}));
  EXPECT_EQ(PtsOf(clip.audioPackets[0]), (std::vector<int64_t>{T0 + 210 * kMs}));
  EXPECT_EQ(clip.videoPackets[0].segment->index, 2u);
  EXPECT_FALSE(FileExists(dir.File(L"000001.kpseg")));
}

TEST(ReplayBufferTest, FailedWriteDegradesAndRecoversWithTrueOffsets) {
  TempFolder dir;
  FaultFiles files;
  // Segment 1 takes the first two records (2 x (32 + 100) bytes) and fails after.
  files.FailWritesAfter(L"000001.kpseg", 2 * 132 + 50);
  LogCapture log;
  ReplayBuffer buffer(dir.path(), 30 * kSec, files);
  buffer.SetAudioTracks(AudioTracks(1));
  buffer.PushVideo(VideoInfo(), Video(T0, true));
  buffer.PushVideo(VideoInfo(), Video(T0 + 100 * kMs, false));
  Everything(buffer, T0 + kSec);  // flushed: 264 bytes on disk
  buffer.PushVideo(VideoInfo(), Video(T0 + 200 * kMs, false));
  buffer.PushAudio(0, Audio(0, T0 + 210 * kMs));
  Everything(buffer, T0 + kSec);  // this flush fails
  EXPECT_TRUE(log.Has("buffer: write failed (error 112) — disk full?"));
  EXPECT_TRUE(buffer.GetStatus().degraded);

  // Until a keyframe: video dropped, audio dropped (no segment to hold it).
  buffer.PushVideo(VideoInfo(), Video(T0 + 300 * kMs, false));
  buffer.PushAudio(0, Audio(0, T0 + 310 * kMs));
  // A young keyframe: the damaged file is not continued.
  buffer.PushVideo(VideoInfo(), Video(T0 + 400 * kMs, true, 100 * kMs, 77));
  buffer.PushAudio(0, Audio(0, T0 + 410 * kMs));
  buffer.PushVideo(VideoInfo(), Video(T0 + 500 * kMs, false, 100 * kMs, 55));
  ReplayBuffer::Clip clip;
  ASSERT_TRUE(buffer.TakeClip(10 * kSec, T0 + kSec, clip));
  EXPECT_EQ(PtsOf(clip.videoPackets), (std::vector<int64_t>{T0, T0 + 100 * kMs, T0 + 400 * kMs, T0 + 500 * kMs}));
  EXPECT_EQ(PtsOf(clip.audioPackets[0]), (std::vector<int64_t>{T0 + 410 * kMs}));
  EXPECT_EQ(clip.videoPackets[2].segment->index, 2u);
  // Every indexed record points at its own bytes.
  for (const PacketRecord& r : clip.videoPackets) {
    EXPECT_EQ(RecordBytes(r), AsString(PayloadFor(0, r.pts, r.size))) << r.pts;
  }
  EXPECT_EQ(RecordBytes(clip.audioPackets[0][0]), AsString(PayloadFor(1, T0 + 410 * kMs, 40)));
  EXPECT_TRUE(buffer.GetStatus().degraded);  // never cleared
  EXPECT_EQ(log.CountStartingWith("buffer: write failed"), 1);
}

struct LowSpaceCase {
  const char* name;
  int groupsBefore;  // 2-s groups in the first 10-s segment
  uint64_t expectedGopsAfterRoll;
  bool expectDrop;
};

TEST(ReplayBufferTest, LowDiskSpaceDropsOldGroupsButKeepsOne) {
  for (const LowSpaceCase& c : {LowSpaceCase{"five groups", 5, 2, true},
                                LowSpaceCase{"one long group", 1, 2, false}}) {
    SCOPED_TRACE(c.name);
    TempFolder dir;
    FaultFiles files;
    files.SetFreeSpace(512ull << 20);
    FakeClock clock;
    LogCapture log;
    ReplayBuffer buffer(dir.path(), 300 * kSec, files, clock);
    const int64_t gop = 10 * kSec / c.groupsBefore;
    for (int64_t t = T0; t < T0 + 10 * kSec; t += 100 * kMs) {
      buffer.PushVideo(VideoInfo(), Video(t, (t - T0) % gop == 0));
    }
    Everything(buffer, T0 + 20 * kSec);
    clock.Advance(5 * kSec);  // the check at the first segment was 0 s ago
    buffer.PushVideo(VideoInfo(), Video(T0 + 10 * kSec, true));
    Everything(buffer, T0 + 20 * kSec);
    const BufferStatus status = buffer.GetStatus();
    EXPECT_EQ(status.gopCount, c.expectedGopsAfterRoll);
    EXPECT_EQ(status.degraded, c.expectDrop);
    EXPECT_EQ(log.Has("buffer: low disk space in " + dir.utf8() + " — dropped the oldest part"), c.expectDrop);
  }
}

TEST(ReplayBufferTest, LowDiskSpaceIsCheckedAtMostEveryFiveSecondsAndLoggedOnce) {
  TempFolder dir;
  FaultFiles files;
  FakeClock clock;
  LogCapture log;
  ReplayBuffer buffer(dir.path(), 300 * kSec, files, clock);
  buffer.SetAudioTracks(AudioTracks(1));
  auto pushSegment = [&](int64_t from) {  // five 2-s groups, audio alongside
    for (int64_t t = from; t < from + 10 * kSec; t += 100 * kMs) {
      buffer.PushVideo(VideoInfo(), Video(t, (t - from) % (2 * kSec) == 0));
      buffer.PushAudio(0, Audio(0, t + 50 * kMs));
    }
    Everything(buffer, from + 10 * kSec);
  };
  pushSegment(T0);  // checked at the first roll (plenty of space), next check at +5 s
  files.SetFreeSpace(100ull << 20);
  pushSegment(T0 + 10 * kSec);  // roll at 10 s: too early for a check
  EXPECT_EQ(buffer.GetStatus().gopCount, 10u);
  clock.Advance(5 * kSec);
  pushSegment(T0 + 20 * kSec);  // roll at 20 s: check, drop to one group, then 5 more
  ReplayBuffer::Clip clip = Everything(buffer, T0 + 30 * kSec);
  EXPECT_EQ(buffer.GetStatus().gopCount, 6u);
  EXPECT_EQ(clip.start, T0 + 18 * kSec);
  // Audio before the oldest group went with it.
  EXPECT_EQ(clip.audioPackets[0].front().pts, T0 + 18 * kSec + 50 * kMs);
  EXPECT_FALSE(FileExists(dir.File(L"000001.kpseg")));
  clock.Advance(5 * kSec);
  pushSegment(T0 + 30 * kSec);  // due again: drops again, without a second log line
  EXPECT_EQ(buffer.GetStatus().gopCount, 6u);
  EXPECT_EQ(Everything(buffer, T0 + 40 * kSec).start, T0 + 28 * kSec);
  EXPECT_EQ(log.CountStartingWith("buffer: low disk space"), 1);
}

// Producers on several threads, a host thread taking clips and changing the
// window, and the writer rolling and trimming underneath: every clip must be
// consistent and every record must point at its own bytes.
// Polls `done` for up to 10 s: the writer thread works on its own time.
bool Eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// A disk that stalls, fails or cannot say how much room it has. The
// stalled-write gate holds the writer inside a write, so a test can queue a
// whole batch behind it and see exactly which flush published what, without
// ever asking for a flush (no clip is taken unless the case says so).
TEST(ReplayBufferTest, MisbehavingDisk) {
  constexpr size_t kBig = 100 * 1024;  // eleven of these pass the 1 MiB staging limit, ten do not
  struct Rig {
    TempFolder dir;
    FaultFiles files;
    FakeClock clock;
    LogCapture log;
    std::unique_ptr<ReplayBuffer> buffer;
    Rig() { buffer = std::make_unique<ReplayBuffer>(dir.path(), 300 * kSec, files, clock); }
    ~Rig() {
      files.ReleaseWrites();  // never leave the writer stuck behind the gate
      buffer.reset();
    }
    void Push(int64_t at, bool keyframe, size_t size = 100) {
      buffer->PushVideo(VideoInfo(), Video(T0 + at, keyframe, 100 * kMs, size));
    }
    int64_t Buffered() const { return buffer->GetStatus().duration; }
    // Pushes the first keyframe and waits until the writer's flush of it, on
    // its own after the queue went idle, stands at the gate.
    bool FirstKeyframeHeld() {
      files.HoldWrites(L"000001.kpseg");
      Push(0, true);
      return Eventually([&] { return files.heldWrites() == 1; });
    }
  };
  auto checkBytes = [](const ReplayBuffer::Clip& clip) {
    for (const PacketRecord& r : clip.videoPackets) {
      EXPECT_EQ(RecordBytes(r), AsString(PayloadFor(0, r.pts, r.size))) << r.pts;
    }
  };

  struct Case {
    const char* name;
    std::function<void(Rig&)> run;
  };
  const Case cases[] = {
      {"idle flush, 1 MiB flush, 3 s flush limit",
       [&](Rig& rig) {
         ASSERT_TRUE(rig.FirstKeyframeHeld());
         for (int k = 1; k <= 12; ++k) rig.Push(k * 100 * kMs, false, kBig);  // one batch behind the gate
         rig.files.AllowWrites(2);
         // The idle flush published the keyframe, the 1 MiB flush the first
         // eleven packets; the twelfth waits for the next idle flush, which
         // is now stuck at the gate.
         ASSERT_TRUE(Eventually([&] { return rig.files.heldWrites() == 1 && rig.Buffered() == 1200 * kMs; }));
         EXPECT_EQ(rig.buffer->GetStatus().gopCount, 1u);

         const auto before = std::chrono::steady_clock::now();
         ReplayBuffer::Clip clip;
         EXPECT_TRUE(rig.buffer->TakeClip(60 * kSec, T0 + 10 * kSec, clip));
         const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
         EXPECT_GE(waited, 2.9);  // gave the writer its 3 s ...
         EXPECT_LT(waited, 8.0);  // ... and no more
         EXPECT_EQ(clip.videoPackets.size(), 12u);  // what was indexed by then
         checkBytes(clip);

         rig.files.ReleaseWrites();
         EXPECT_TRUE(Eventually([&] { return rig.Buffered() == 1300 * kMs; }));
         EXPECT_FALSE(rig.buffer->GetStatus().degraded);
       }},
      {"write failure at a 1 MiB flush",
       [&](Rig& rig) {
         rig.files.FailWritesAfter(L"000001.kpseg", 132);  // the first keyframe's record only
         ASSERT_TRUE(rig.FirstKeyframeHeld());
         for (int k = 1; k <= 11; ++k) rig.Push(k * 100 * kMs, false, kBig);
         rig.Push(1200 * kMs, true);  // young: would continue segment 1
         rig.Push(1300 * kMs, false);
         rig.files.ReleaseWrites();
         ReplayBuffer::Clip clip = Everything(*rig.buffer, T0 + 10 * kSec);
         // The failed flush came before the keyframe, which opened a new file.
         EXPECT_EQ(PtsOf(clip.videoPackets), (std::vector<int64_t>{T0, T0 + 1200 * kMs, T0 + 1300 * kMs}));
         ASSERT_EQ(clip.videoPackets.size(), 3u);
         EXPECT_EQ(clip.videoPackets[1].segment->index, 2u);
         checkBytes(clip);
         EXPECT_EQ(rig.log.CountStartingWith("buffer: write failed (error 112) — disk full?"), 1);
         EXPECT_TRUE(rig.buffer->GetStatus().degraded);
       }},
      {"write failure at a segment roll",
       [&](Rig& rig) {
         rig.files.FailWritesAfter(L"000001.kpseg", 132);
         ASSERT_TRUE(rig.FirstKeyframeHeld());
         rig.Push(100 * kMs, false);   // staged, then lost with the flush at the roll
         rig.Push(10 * kSec, true);    // rolls to segment 2
         rig.Push(10 * kSec + 100 * kMs, false);
         rig.files.ReleaseWrites();
         ReplayBuffer::Clip clip = Everything(*rig.buffer, T0 + 20 * kSec);
         EXPECT_EQ(PtsOf(clip.videoPackets), (std::vector<int64_t>{T0, T0 + 10 * kSec, T0 + 10 * kSec + 100 * kMs}));
         ASSERT_EQ(clip.videoPackets.size(), 3u);
         EXPECT_EQ(clip.videoPackets[1].segment->index, 2u);
         checkBytes(clip);
         EXPECT_EQ(rig.log.CountStartingWith("buffer: write failed (error 112) — disk full?"), 1);
         EXPECT_TRUE(rig.buffer->GetStatus().degraded);
       }},
      {"failed free-space query counts as unlimited",
       [&](Rig& rig) {
         rig.files.FailFreeSpace();
         for (int64_t t = 0; t < 10 * kSec; t += 100 * kMs) rig.Push(t, t % (2 * kSec) == 0);
         Everything(*rig.buffer, T0 + 20 * kSec);
         rig.clock.Advance(5 * kSec);  // the check at the roll is due
         rig.Push(10 * kSec, true);
         Everything(*rig.buffer, T0 + 20 * kSec);
         EXPECT_EQ(rig.buffer->GetStatus().gopCount, 6u);  // nothing dropped
         EXPECT_FALSE(rig.buffer->GetStatus().degraded);
         EXPECT_EQ(rig.log.CountStartingWith("buffer: low disk space"), 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    c.run(rig);
  }
}

TEST(ReplayBufferTest, ConcurrentProducersAndClipsStayConsistent) {
  TempFolder dir;
  auto buffer = std::make_shared<ReplayBuffer>(dir.path(), 3 * kSec);
  buffer->SetAudioTracks(AudioTracks(2));
  constexpr int kFrames = 600;  // 60 s at 10 frames/s, keyframe every second
  std::atomic<int64_t> videoPushed{0};
  std::thread video([&] {
    for (int i = 0; i < kFrames; ++i) {
      buffer->PushVideo(VideoInfo(), Video(T0 + i * 100 * kMs, i % 10 == 0, 100 * kMs, 200 + i % 7));
      videoPushed = T0 + (i + 1) * 100 * kMs;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  std::vector<std::thread> audio;
  for (int track = 0; track < 2; ++track) {
    audio.emplace_back([&, track] {
      for (int i = 0; i < kFrames * 5; ++i) {
        buffer->PushAudio(track, Audio(track, T0 + i * 20 * kMs));
        if (i % 5 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
  }
  int clips = 0;
  while (clips < 20 || videoPushed.load() < T0 + kFrames * 100 * kMs) {
    const int64_t now = videoPushed.load();
    ReplayBuffer::Clip clip;
    if (buffer->TakeClip(2 * kSec, now, clip)) {
      ++clips;
      buffer->ExtendClipAudio(clip);
      EXPECT_TRUE(clip.videoPackets.front().keyframe);
      EXPECT_EQ(clip.videoPackets.front().pts, clip.start);
      for (size_t i = 1; i < clip.videoPackets.size(); ++i) {
        EXPECT_EQ(clip.videoPackets[i].pts, clip.videoPackets[i - 1].pts + 100 * kMs);
      }
      for (const auto& list : clip.audioPackets) {
        for (size_t i = 1; i < list.size(); ++i) EXPECT_GT(list[i].pts, list[i - 1].pts);
      }
      const PacketRecord& last = clip.videoPackets.back();
      EXPECT_EQ(RecordBytes(last), AsString(PayloadFor(0, last.pts, last.size)));
    }
    buffer->SetWindow((clips % 2 == 0 ? 3 : 4) * kSec);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  video.join();
  for (std::thread& t : audio) t.join();
  ReplayBuffer::Clip clip = Everything(*buffer, T0 + 61 * kSec);
  EXPECT_EQ(clip.videoPackets.back().pts, T0 + (kFrames - 1) * 100 * kMs);
  // Trimming never drops below the window, but a window that grew later does
  // not bring trimmed groups back: hold the last group to the smaller one.
  EXPECT_LE(clip.start, T0 + 60 * kSec - 3 * kSec);
  clip = {};
  buffer.reset();
  EXPECT_TRUE(SegmentFiles(dir.path()).empty());
}

}  // namespace
}  // namespace kp::test
