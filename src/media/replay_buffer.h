// The replay buffer: the most recent stretch of the encoded stream (video and
// every audio track) kept on disk in a chain of segment files, with only an
// index of where each packet's bytes are held in memory.
//
// Producers (encoder and audio threads) push packets into an unbounded queue
// and never wait for the disk, nor for the writer to run: they do not wake
// it. A writer thread collects the queue at least every 100 ms (at once
// when a clip asks for a flush), appends the packets to the current
// segment file through a 1 MiB staging buffer and, once the bytes are on
// disk, publishes their records into the index, at least every 250 ms,
// which is trimmed to the window. A clip is a selection of index records;
// each record holds its segment, so the files a clip needs stay on disk
// until the clip goes.
//
// The window is recorded time (media/cuts.h): the buffer keeps the newest
// groups whose video, cuts left out, adds up to at least the window, however
// long recording was paused or video stopped in between. Audio is kept only
// while video flows: the writer drops audio stamped more than 1 s past the
// end of the newest video it has accepted, so an outage of the video costs
// neither disk nor memory.
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

#include "app/repeat_log.h"
#include "media/buffer_folder_lease.h"
#include "media/cuts.h"
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
  // Recorded ticks a clip of the window would hold now: from the group a
  // save would start at to the newest indexed video end, cuts left out.
  int64_t duration = 0;
  uint64_t diskBytes = 0;
  uint64_t gopCount = 0;
  bool degraded = false;  // a write failed or space ran low; never cleared
  // The last attempt to create a segment file failed: nothing new is being
  // kept. Cleared when a segment opens again.
  bool unwritable = false;
};

class ReplayBuffer {
 public:
  // A self-contained selection for a clip: it starts at a video keyframe and
  // keeps its segment files alive for as long as it exists.
  // Records keep their original time stamps; `cuts` says which stretches
  // the clip file leaves out (WriteClipFile moves the later samples).
  struct Clip {
    int64_t start = 0;  // pts of the first video packet
    // Exclusive: the request time while video flows, else the end of the
    // last video sample.
    int64_t end = 0;
    VideoTrackInfo video;
    std::vector<PacketRecord> videoPackets;
    std::vector<AudioTrackInfo> audioTracks;
    std::vector<std::vector<PacketRecord>> audioPackets;  // one list per audio track; none inside a cut
    CutList cuts;  // the cuts that start within [start, end)

    // The recorded length of the video: its span minus the cuts inside it.
    int64_t RecordedDuration() const;
  };

  // Creates `folder` (and its parents), claims it (BufferFolderLease),
  // deletes "*.kpseg" files left over from an earlier run, and starts the
  // writer thread. `window` is in ticks. While another buffer of this
  // process still uses the same folder (by file identity) nothing is deleted
  // and segment numbers continue after that buffer's; while another process
  // holds it, the segment files go into a folder of this process inside it.
  // Either way neither buffer touches the other's files.
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

  // Selects `length` ticks of recorded time ending at the newest recorded
  // moment: `now` while video flows, the end of the last video sample once
  // none has come for more than 1 s (paused, or no capture). Starts at the
  // newest group from which that much is recorded (never crossing a
  // parameter change, so up to one group more, or less after a change);
  // video with pts < now, audio with start <= pts < end outside the cuts.
  // Waits up to 3 s for the writer to index what was queued before the
  // call. False when the clip would hold no video.
  bool TakeClip(int64_t length, int64_t now, Clip& out);
  // Appends audio that was indexed after the clip was taken and lies within
  // [start, end), on original times and never inside a cut (a cut that ended
  // only since is added to the clip). Does nothing when the audio track list
  // has changed since.
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
  void SetUnwritable(bool unwritable);
  void CheckDiskSpace();
  void WaitForFlush();

  // Index mutex held.
  void Publish(PendingRecord& pending);
  void Trim(Retired& retired);
  bool DropOldestSegment(Retired& retired);
  void AddCut(int64_t nextPts);  // from latestVideoEnd_ to nextPts
  void DropCutsBeforeOldestGop();
  // Recorded ticks from the second group's start to the newest video end.
  int64_t RecordedAfterOldestGop() const;
  // The group a clip of `length` recorded ticks ending at `recordedEnd`
  // starts at, and how much is recorded from there: the newest group from
  // which at least `length` is, or the oldest of those sharing the newest
  // group's parameters.
  struct Selection {
    size_t first = 0;
    int64_t recorded = 0;
  };
  Selection SelectFirstGop(int64_t length, int64_t recordedEnd) const;

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
  // Cuts between indexed video samples, none before the oldest group.
  std::deque<MediaCut> cuts_;
  int64_t cutTotal_ = 0;  // their lengths added up
  bool degraded_ = false;
  bool unwritable_ = false;

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
  // Each OpenSegment is an attempt: a folder that refuses new files logs
  // that once, then counts it at every keyframe.
  RepeatLog segmentOpens_{"buffer: segment file", clock_};
  int64_t lastPublish_ = 0;
  // End (pts + duration) of the newest video packet staged; audio stamped
  // more than 1 s past it is dropped. The index lags behind, so it cannot
  // tell.
  int64_t acceptedVideoEnd_ = 0;
  bool createFailing_ = false;  // segment files cannot be created: unwritable_ is set
  size_t videoSinceKeyframe_ = 0;  // video records staged since the last keyframe
  size_t groupLengthHint_ = 0;     // length of the last group, to size the next

  std::atomic<bool> benchmarkHold_{false};

  std::thread writer_;  // last: started once everything above exists
};

}  // namespace kp
