// The replay buffer: the most recent stretch of the encoded stream (video and
// every audio track) kept on disk in a chain of segment files, with only an
// index of where each packet's bytes are held in memory.
//
// Producers (encoder and audio threads) push packets into an unbounded queue
// and never wait for the disk, nor for the writer to run: they do not wake
// it. A writer thread collects the queue at least every 100 ms (at once
// when a clip asks for a flush), appends the packets to the current
// segment file through a 1 MiB staging buffer and, once the bytes are on
// disk, publishes their records into the index, which is trimmed to the
// window. A clip is a selection of index records; each record holds its
// segment, so the files a clip needs stay on disk until the clip goes.
//
// Locking: the index mutex guards the index group, the queue mutex the queue
// group; no thread ever holds both. The writer does its disk writes holding
// neither, and publishes in short pieces: whatever a piece needs allocated
// is made before the index mutex is taken, and whatever trimming lets go of
// (groups, segment files) is released after it, so producers, which take
// the index mutex on every push, never wait behind allocation or file work.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/buffer_folder_lease.h"
#include "media/packet.h"
#include "media/segment.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace kp {

// A group of pictures: a keyframe and the packets that depend on it, all
// encoded with the same parameters (pointer identity means equal parameters).
struct Gop {
  std::shared_ptr<const VideoTrackInfo> params;
  std::vector<PacketRecord> records;  // records[0] is a keyframe
};

// A queue entry. `stream` is 0 for video and k + 1 for audio track k.
struct WriteItem {
  uint32_t stream = 0;
  std::shared_ptr<const VideoTrackInfo> params;  // video only
  std::shared_ptr<const EncodedPacket> packet;
  uint64_t audioGeneration = 0;  // audio only
};

struct BufferStatus {
  int64_t duration = 0;  // ticks from the oldest keyframe to the newest video end
  uint64_t diskBytes = 0;
  uint64_t gopCount = 0;
  bool degraded = false;  // a write failed or space ran low; never cleared
};

class ReplayBuffer {
 public:
  // A self-contained selection for a clip: it starts at a video keyframe and
  // keeps its segment files alive for as long as it exists.
  struct Clip {
    int64_t start = 0;  // pts of the first video packet
    int64_t end = 0;    // exclusive: the moment of the request
    VideoTrackInfo video;
    std::vector<PacketRecord> videoPackets;
    std::vector<AudioTrackInfo> audioTracks;
    std::vector<std::vector<PacketRecord>> audioPackets;  // one list per audio track
  };

  // Creates `folder` (and its parents), deletes "*.kpseg" files left over from
  // an earlier run, and starts the writer thread. `window` is in ticks.
  // While another buffer of this process still uses the same folder (by
  // CanonicalFolderKey) nothing is deleted and segment numbers continue
  // after that buffer's, so neither touches the other's files.
  // `files` must outlive every clip taken, since segments delete their files
  // through it when the last clip lets go.
  ReplayBuffer(std::wstring folder, int64_t window, Files& files = SystemFiles(),
               Clock& clock = SystemClock());
  // Writes everything still queued, stops the writer and lets go of every
  // segment; files still held by clips go when those clips go.
  ~ReplayBuffer();
  ReplayBuffer(const ReplayBuffer&) = delete;
  ReplayBuffer& operator=(const ReplayBuffer&) = delete;

  // Any thread. A video non-keyframe is kept only when it continues a group
  // with the same parameters; nothing is kept before the first keyframe.
  void PushVideo(const VideoTrackInfo& info, std::shared_ptr<const EncodedPacket> packet);
  // Any thread. `track` indexes the list given to SetAudioTracks; packets
  // queued before the list changes are dropped.
  void PushAudio(int track, std::shared_ptr<const EncodedPacket> packet);
  // Replacing the list by a different one drops all buffered audio.
  void SetAudioTracks(const std::vector<AudioTrackInfo>& tracks);
  void SetWindow(int64_t window);
  int64_t GetWindow() const;
  BufferStatus GetStatus() const;
  // The folder as given at construction.
  const std::wstring& Folder() const { return folder_; }

  // Selects the last `length` ticks before `now`: starts at the newest group
  // that begins at or before now - length (never crossing a parameter change),
  // video with pts < now, audio with start <= pts < now. Waits up to 3 s for
  // the writer to index what was queued before the call. False when the clip
  // would hold no video.
  bool TakeClip(int64_t length, int64_t now, Clip& out);
  // Appends audio that was indexed after the clip was taken and lies within
  // [start, end). Does nothing when the audio track list has changed since.
  void ExtendClipAudio(Clip& clip);

  // Benchmarks only: from now on the writer takes every batch off the queue
  // and drops it, writing and indexing nothing, so producers meet no one on
  // their locks. The baseline for push latency.
  void HoldWriterForBenchmark() { benchmarkHold_.store(true); }

 private:
  struct PendingRecord {
    WriteItem item;
    PacketRecord record;
    std::vector<PacketRecord> group;  // keyframe: the new group's list, reserved
  };
  // What the index lets go of under the index mutex, released after it, so
  // that freeing groups and deleting files never happens inside the lock.
  struct Retired {
    std::vector<std::shared_ptr<Segment>> segments;
    std::vector<Gop> gops;
  };

  void Enqueue(WriteItem&& item);
  void WriterLoop();
  void ProcessItem(WriteItem& item);
  void Stage(WriteItem& item);
  void Flush();
  void PublishPending();
  bool OpenSegment();
  void CloseSegment();
  void CheckDiskSpace();
  void WaitForFlush();

  // Index mutex held.
  void Publish(PendingRecord& pending);
  void Trim(Retired& retired);
  void DropOldestGop(Retired& retired);

  // Fixed or atomic; read without a lock.
  const std::wstring folder_;
  Files& files_;
  Clock& clock_;
  const std::shared_ptr<BufferFolderLease> lease_;
  // Shares ownership of the lease: segments keep the folder registered.
  const ByteCount totalBytes_{lease_, &lease_->bytes};

  // Index group.
  mutable std::mutex indexMutex_;
  int64_t window_ = 0;
  std::deque<Gop> gops_;
  std::shared_ptr<const VideoTrackInfo> currentParams_;
  std::vector<AudioTrackInfo> audioTracks_;
  std::vector<std::deque<PacketRecord>> audioIndex_;
  uint64_t audioGeneration_ = 0;
  int64_t latestVideoEnd_ = 0;
  int64_t latestEnd_ = 0;
  bool degraded_ = false;

  // Queue group.
  std::mutex queueMutex_;
  std::condition_variable wakeWriter_;
  std::condition_variable flushDone_;
  std::vector<WriteItem> queue_;
  uint64_t queuedCount_ = 0;
  uint64_t flushedCount_ = 0;
  bool flushRequest_ = false;
  bool stop_ = false;

  // Writer-only.
  std::unique_ptr<File> file_;
  std::shared_ptr<Segment> segment_;
  int64_t segmentStart_ = 0;
  std::vector<uint8_t> staging_;
  std::vector<PendingRecord> pending_;
  bool needKeyframe_ = true;
  int64_t nextDiskCheck_ = 0;
  size_t videoSinceKeyframe_ = 0;  // video records staged since the last keyframe
  size_t groupLengthHint_ = 0;     // length of the last group, to size the next

  std::atomic<bool> benchmarkHold_{false};

  std::thread writer_;  // last: started once everything above exists
};

}  // namespace kp
