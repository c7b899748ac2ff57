#include "media/replay_buffer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <utility>

#include "app/log.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/thread_priority.h"

namespace kp {

namespace {

constexpr size_t kStagingLimit = 1'048'576;           // flush the staging buffer at 1 MiB
constexpr int64_t kSegmentMaxAge = 10 * kTicksPerSecond;  // roll at the next keyframe after 10 s
constexpr uint64_t kSegmentMaxBytes = 536'870'912;    // ... or after 512 MiB
constexpr uint64_t kLowDiskSpace = 1'073'741'824;     // drop old groups below 1 GiB free
constexpr int64_t kDiskCheckInterval = 5 * kTicksPerSecond;
constexpr int64_t kPublishInterval = 250 * kTicksPerMillisecond;  // GetStatus lags by no more
constexpr auto kWriterIdleWait = std::chrono::milliseconds(100);
constexpr auto kFlushWaitLimit = std::chrono::seconds(3);
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr size_t kPublishPiece = 64;  // records published per hold of the index mutex

// Keeps one reference per distinct segment so that the file is deleted only
// when the caller drops `retired`, outside the index mutex.
void Retire(std::vector<std::shared_ptr<Segment>>& retired, std::shared_ptr<Segment>&& segment) {
  if (!segment) return;
  if (retired.empty() || retired.back() != segment) retired.push_back(std::move(segment));
}

// First record with pts > `after`. An audio queue is in pts order (each
// track's packets are produced in increasing pts order), so selections
// under the index mutex cost a binary search, not a walk of the window.
std::deque<PacketRecord>::const_iterator FirstAfter(const std::deque<PacketRecord>& queue, int64_t after) {
  return std::upper_bound(queue.begin(), queue.end(), after,
                          [](int64_t value, const PacketRecord& record) { return value < record.pts; });
}

}  // namespace

ReplayBuffer::ReplayBuffer(std::wstring folder, int64_t window, Files& files, Clock& clock)
    : folder_(std::move(folder)),
      files_(files),
      clock_(clock),
      lease_(BufferFolderLease::Acquire(files_, folder_)),
      window_(window) {
  if (lease_->RemovedLeftovers() > 0) Log("buffer: removed %d leftover segment file(s)", lease_->RemovedLeftovers());
  Log("buffer: on disk in %s, %.0fs window", WideToUtf8(lease_->SegmentFolder()).c_str(),
      static_cast<double>(window) / static_cast<double>(kTicksPerSecond));

  staging_.reserve(kStagingLimit + kStagingLimit / 4);
  writer_ = std::thread(&ReplayBuffer::WriterLoop, this);
}

ReplayBuffer::~ReplayBuffer() {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    stop_ = true;
  }
  wakeWriter_.notify_all();
  if (writer_.joinable()) writer_.join();

  CloseSegment();
  std::deque<Gop> gops;
  std::vector<std::deque<PacketRecord>> audio;
  {
    std::lock_guard<std::mutex> lock(indexMutex_);
    gops.swap(gops_);
    audio.swap(audioIndex_);
    currentParams_.reset();
  }
  pending_.clear();
  std::vector<uint8_t>().swap(staging_);
  // `gops` and `audio` go here, outside the lock, deleting every segment file
  // that no clip still holds.
}

void ReplayBuffer::PushVideo(const VideoTrackInfo& info, std::shared_ptr<const EncodedPacket> packet) {
  if (!packet) return;
  std::shared_ptr<const VideoTrackInfo> params;
  {
    std::lock_guard<std::mutex> lock(indexMutex_);
    if (!currentParams_ || !(*currentParams_ == info)) {
      currentParams_ = std::make_shared<const VideoTrackInfo>(info);
    }
    params = currentParams_;
  }
  Enqueue(WriteItem{0, std::move(params), std::move(packet), 0});
}

void ReplayBuffer::PushAudio(int track, std::shared_ptr<const EncodedPacket> packet) {
  if (!packet || track < 0 || track > 254) return;
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(indexMutex_);
    generation = audioGeneration_;
  }
  Enqueue(WriteItem{static_cast<uint32_t>(track) + 1, nullptr, std::move(packet), generation});
}

void ReplayBuffer::Enqueue(WriteItem&& item) {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.push_back(std::move(item));
    ++queuedCount_;
  }
  // The writer is not woken: it collects the queue at least every 100 ms
  // and at once when a flush is asked for. Waking it from here would let it
  // take this producer's processor in the middle of a push, so a push would
  // last as long as the writer's next write.
}

void ReplayBuffer::SetAudioTracks(const std::vector<AudioTrackInfo>& tracks) {
  std::vector<std::deque<PacketRecord>> dropped;
  std::lock_guard<std::mutex> lock(indexMutex_);
  if (tracks == audioTracks_) return;
  audioTracks_ = tracks;
  dropped.swap(audioIndex_);
  audioIndex_.resize(tracks.size());
  ++audioGeneration_;
  // `dropped` is declared before the lock, so it goes after the unlock.
}

void ReplayBuffer::SetWindow(int64_t window) {
  Retired retired;
  std::lock_guard<std::mutex> lock(indexMutex_);
  window_ = window;
  Trim(retired);
}

int64_t ReplayBuffer::GetWindow() const {
  std::lock_guard<std::mutex> lock(indexMutex_);
  return window_;
}

BufferStatus ReplayBuffer::GetStatus() const {
  std::lock_guard<std::mutex> lock(indexMutex_);
  BufferStatus status;
  // What a save would take: paused, or soon after the newest indexed
  // picture, a save ends there too.
  if (!gops_.empty()) status.duration = SelectFirstGop(window_, latestVideoEnd_).recorded;
  status.diskBytes = totalBytes_->load();
  status.gopCount = gops_.size();
  status.degraded = degraded_;
  status.unwritable = unwritable_;
  return status;
}

int64_t ReplayBuffer::Clip::RecordedDuration() const {
  if (videoPackets.empty()) return 0;
  const PacketRecord& first = videoPackets.front();
  const PacketRecord& last = videoPackets.back();
  int64_t duration = last.pts + last.duration - first.pts;
  for (const MediaCut& cut : cuts) {
    if (cut.start >= first.pts && cut.End() <= last.pts) duration -= cut.length;
  }
  return duration;
}

// ---------------------------------------------------------------------------
// Writer thread

void ReplayBuffer::WriterLoop() {
  SetCurrentThreadPriority(ThreadPriority::kAboveNormal);  // best effort
  std::vector<WriteItem> batch;
  for (;;) {
    uint64_t snapshot;
    bool mustFlush;
    {
      std::unique_lock<std::mutex> lock(queueMutex_);
      wakeWriter_.wait_for(lock, kWriterIdleWait,
                           [this] { return stop_ || !queue_.empty() || flushRequest_; });
      if (stop_ && queue_.empty()) {
        lock.unlock();
        Flush();
        return;
      }
      // Swapping keeps both vectors' capacity: in a steady state neither the
      // producers nor the writer allocate for the queue.
      batch.swap(queue_);
      snapshot = queuedCount_;
      mustFlush = flushRequest_ || batch.empty();
      flushRequest_ = false;
    }
    if (benchmarkHold_.load(std::memory_order_relaxed)) {
      batch.clear();
      continue;
    }
    for (WriteItem& item : batch) ProcessItem(item);
    batch.clear();
    if (mustFlush || staging_.size() >= kStagingLimit || clock_.Now() - lastPublish_ >= kPublishInterval) {
      Flush();
      {
        std::lock_guard<std::mutex> lock(queueMutex_);
        flushedCount_ = snapshot;
      }
      flushDone_.notify_all();
    }
  }
}

void ReplayBuffer::ProcessItem(WriteItem& item) {
  const EncodedPacket& packet = *item.packet;
  if (item.stream != 0) {
    // Audio only while video flows: none without an open segment, none
    // stamped more than 1 s past the newest accepted picture.
    if (segment_ && packet.pts - acceptedVideoEnd_ <= kCutThreshold) Stage(item);
    return;
  }
  if (needKeyframe_ && !packet.keyframe) return;
  if (segment_ && (!packet.keyframe || (packet.pts - segmentStart_ < kSegmentMaxAge &&
                                        segment_->bytes < kSegmentMaxBytes))) {
    needKeyframe_ = false;
    acceptedVideoEnd_ = packet.pts + packet.duration;
    Stage(item);
    return;
  }
  if (!packet.keyframe) return;  // nothing open to continue

  Flush();
  CheckDiskSpace();
  if (OpenSegment()) {
    segmentStart_ = packet.pts;
    needKeyframe_ = false;
    acceptedVideoEnd_ = packet.pts + packet.duration;
    Stage(item);
  } else {
    needKeyframe_ = true;
  }
}

void ReplayBuffer::Stage(WriteItem& item) {
  const EncodedPacket& packet = *item.packet;
  if (packet.data.size() > std::numeric_limits<uint32_t>::max()) return;
  const uint32_t size = static_cast<uint32_t>(packet.data.size());

  uint8_t header[kRecordHeaderSize];
  EncodeRecordHeader(header, item.stream, packet.keyframe, size, packet.pts, packet.duration);
  staging_.insert(staging_.end(), header, header + kRecordHeaderSize);
  staging_.insert(staging_.end(), packet.data.begin(), packet.data.end());

  PacketRecord record;
  record.pts = packet.pts;
  record.duration = packet.duration;
  record.offset = segment_->bytes + kRecordHeaderSize;
  record.size = size;
  record.keyframe = packet.keyframe;
  record.segment = segment_;
  segment_->bytes += kRecordHeaderSize + size;
  totalBytes_->fetch_add(kRecordHeaderSize + size);
  std::vector<PacketRecord> group;
  if (item.stream == 0) {
    if (packet.keyframe) {
      // Groups tend to have the same length: room for one like the last.
      if (videoSinceKeyframe_ > 0) groupLengthHint_ = videoSinceKeyframe_;
      videoSinceKeyframe_ = 0;
      group.reserve(groupLengthHint_ + 2);
    }
    ++videoSinceKeyframe_;
  }
  pending_.push_back(PendingRecord{std::move(item), std::move(record), std::move(group)});

  if (staging_.size() >= kStagingLimit) Flush();
}

void ReplayBuffer::Flush() {
  lastPublish_ = clock_.Now();
  bool ok = true;
  if (!staging_.empty()) {
    IoStatus status = file_ ? file_->Write(staging_.data(), staging_.size())
                            : IoStatus::Failure(kErrorInvalidHandle);
    if (!status) {
      Log("buffer: write failed (error %lu) — disk full?", static_cast<unsigned long>(status.error));
      ok = false;
    }
    staging_.clear();
  }
  if (pending_.empty() && ok) return;

  if (ok) {
    PublishPending();
  } else {
    std::lock_guard<std::mutex> lock(indexMutex_);
    degraded_ = true;
  }
  pending_.clear();
  if (!ok) {
    // The segment's byte count now runs ahead of the file's content, so no
    // later record may go into this file: the next keyframe opens a new one.
    needKeyframe_ = true;
    CloseSegment();
  }
}

void ReplayBuffer::PublishPending() {
  for (size_t begin = 0; begin < pending_.size(); begin += kPublishPiece) {
    const size_t end = std::min(pending_.size(), begin + kPublishPiece);
    Retired retired;
    // Room for what trimming usually lets go of per piece, made here.
    retired.segments.reserve(4);
    retired.gops.reserve(2);
    {
      std::lock_guard<std::mutex> lock(indexMutex_);
      for (size_t i = begin; i < end; ++i) Publish(pending_[i]);
      // Once per piece: the window only moves forward, so this trims what
      // trimming after every record would have.
      Trim(retired);
    }
  }
}

bool ReplayBuffer::OpenSegment() {
  LogAttempt attempt(segmentOpens_);
  CloseSegment();
  const uint64_t index = lease_->NextSegmentIndex();
  auto segment =
      std::make_shared<Segment>(files_, JoinPath(lease_->SegmentFolder(), SegmentFileName(index)), index, totalBytes_);
  CreateOptions options;
  options.mode = CreateMode::kTruncate;
  options.temporary = true;
  options.sequential = true;
  options.shareRead = true;
  options.shareDelete = true;
  std::unique_ptr<File> file;
  IoStatus status = files_.Create(segment->path, options, &file);
  if (!status) {
    // Every keyframe tries again; the attempt's repeat log writes the line
    // when the episode starts and counts it after that. The status says so
    // until a segment opens.
    Log("buffer: cannot create segment file (error %lu)", static_cast<unsigned long>(status.error));
    if (!createFailing_) {
      createFailing_ = true;
      SetUnwritable(true);
    }
    return false;  // `segment` goes now and deletes whatever is at its path
  }
  attempt.Succeeded();
  if (createFailing_) {
    createFailing_ = false;
    SetUnwritable(false);
  }
  file_ = std::move(file);
  segment_ = std::move(segment);
  return true;
}

void ReplayBuffer::SetUnwritable(bool unwritable) {
  std::lock_guard<std::mutex> lock(indexMutex_);
  unwritable_ = unwritable;
}

void ReplayBuffer::CloseSegment() {
  if (file_) {
    file_->Close();
    file_.reset();
  }
  segment_.reset();
}

void ReplayBuffer::CheckDiskSpace() {
  const int64_t now = clock_.Now();
  if (now < nextDiskCheck_) return;
  nextDiskCheck_ = now + kDiskCheckInterval;

  // The free-space query and the file deletions that give space back run
  // outside the index mutex; only dropping a segment's records is done
  // inside it.
  bool dropped = false;
  bool logLow = false;
  for (;;) {
    uint64_t freeBytes = 0;
    if (!files_.FreeSpace(folder_, &freeBytes)) break;  // unknown counts as plenty
    if (freeBytes >= kLowDiskSpace) break;
    Retired retired;
    retired.gops.reserve(1);
    std::lock_guard<std::mutex> lock(indexMutex_);
    if (!DropOldestSegment(retired)) break;
    dropped = true;
    // `retired` goes after the unlock: space only comes back when the last
    // reference to a segment goes, and the next query must see it.
  }
  if (dropped) {
    std::lock_guard<std::mutex> lock(indexMutex_);
    logLow = !degraded_;
    degraded_ = true;
  }
  if (logLow) Log("buffer: low disk space in %s — dropped the oldest part", WideToUtf8(folder_).c_str());
}

void ReplayBuffer::WaitForFlush() {
  std::unique_lock<std::mutex> lock(queueMutex_);
  const uint64_t target = queuedCount_;
  flushRequest_ = true;
  wakeWriter_.notify_one();
  flushDone_.wait_for(lock, kFlushWaitLimit, [&] { return flushedCount_ >= target; });
}

// ---------------------------------------------------------------------------
// Index (index mutex held)

void ReplayBuffer::Publish(PendingRecord& pending) {
  PacketRecord& record = pending.record;
  const int64_t end = record.pts + record.duration;
  if (pending.item.stream != 0) {
    const size_t track = pending.item.stream - 1;
    if (pending.item.audioGeneration != audioGeneration_ || track >= audioIndex_.size()) return;
    audioIndex_[track].push_back(std::move(record));
  } else if (record.keyframe) {
    if (!gops_.empty() && record.pts - latestVideoEnd_ > kCutThreshold) {
      AddCut(record.pts);
    }
    gops_.push_back(Gop{std::move(pending.item.params), std::move(pending.group)});
    gops_.back().records.push_back(std::move(record));
    latestVideoEnd_ = end;
  } else {
    if (gops_.empty() || gops_.back().params != pending.item.params) return;
    if (record.pts - latestVideoEnd_ > kCutThreshold) {
      AddCut(record.pts);
    }
    gops_.back().records.push_back(std::move(record));
    latestVideoEnd_ = end;
  }
  latestEnd_ = std::max(latestEnd_, end);
}

void ReplayBuffer::Trim(Retired& retired) {
  // The oldest group stays while the ones after it hold less than the window.
  bool trimmed = false;
  while (gops_.size() > 1 && RecordedAfterOldestGop() >= window_) {
    retired.gops.push_back(std::move(gops_.front()));  // freed with its records after the lock
    gops_.pop_front();
    trimmed = true;
  }
  if (trimmed) DropCutsBeforeOldestGop();
  const int64_t threshold = gops_.empty() ? latestEnd_ - window_ : gops_.front().records.front().pts;
  for (std::deque<PacketRecord>& queue : audioIndex_) {
    while (!queue.empty() && queue.front().pts + queue.front().duration <= threshold) {
      Retire(retired.segments, std::move(queue.front().segment));
      queue.pop_front();
    }
  }
}

// The oldest segment is the one of the oldest record. It goes whole, with
// every group and audio record in it, and only when nothing but the index
// holds it: dropping records a clip still holds would free nothing. Never
// the segment being written, and never the newest group.
bool ReplayBuffer::DropOldestSegment(Retired& retired) {
  if (gops_.empty()) return false;
  const std::shared_ptr<Segment>* oldest = &gops_.front().records.front().segment;
  for (const std::deque<PacketRecord>& queue : audioIndex_) {
    if (!queue.empty() && queue.front().segment->index < (*oldest)->index) oldest = &queue.front().segment;
  }
  const Segment* segment = oldest->get();
  if (segment == segment_.get()) return false;

  // Records of one segment lead the video index and every audio queue:
  // segments are written one after the other.
  size_t groups = 0;
  long references = 0;
  while (groups < gops_.size() && gops_[groups].records.front().segment.get() == segment) {
    references += static_cast<long>(gops_[groups].records.size());
    ++groups;
  }
  if (groups == gops_.size()) return false;
  std::vector<size_t> audio(audioIndex_.size(), 0);
  for (size_t t = 0; t < audioIndex_.size(); ++t) {
    const std::deque<PacketRecord>& queue = audioIndex_[t];
    while (audio[t] < queue.size() && queue[audio[t]].segment.get() == segment) ++audio[t];
    references += static_cast<long>(audio[t]);
  }
  if (oldest->use_count() > references) return false;  // a clip not yet written holds it

  for (; groups > 0; --groups) {
    retired.gops.push_back(std::move(gops_.front()));  // freed with its records after the lock
    gops_.pop_front();
  }
  const int64_t first = gops_.front().records.front().pts;
  for (size_t t = 0; t < audioIndex_.size(); ++t) {
    std::deque<PacketRecord>& queue = audioIndex_[t];
    for (size_t n = 0; !queue.empty() && (n < audio[t] || queue.front().pts < first); ++n) {
      Retire(retired.segments, std::move(queue.front().segment));
      queue.pop_front();
    }
  }
  DropCutsBeforeOldestGop();
  return true;
}

void ReplayBuffer::AddCut(int64_t nextPts) {
  cuts_.push_back(MediaCut{latestVideoEnd_, nextPts - latestVideoEnd_});
  cutTotal_ += cuts_.back().length;
}

void ReplayBuffer::DropCutsBeforeOldestGop() {
  const int64_t first = gops_.empty() ? latestVideoEnd_ : gops_.front().records.front().pts;
  while (!cuts_.empty() && cuts_.front().start < first) {
    cutTotal_ -= cuts_.front().length;
    cuts_.pop_front();
  }
}

int64_t ReplayBuffer::RecordedAfterOldestGop() const {
  const int64_t from = gops_[1].records.front().pts;
  int64_t cut = cutTotal_;
  for (auto it = cuts_.begin(); it != cuts_.end() && it->start < from; ++it) cut -= it->length;
  return latestVideoEnd_ - from - cut;
}

ReplayBuffer::Selection ReplayBuffer::SelectFirstGop(int64_t length, int64_t recordedEnd) const {
  const std::shared_ptr<const VideoTrackInfo>& newest = gops_.back().params;
  // Walks back from the newest group, counting the cuts passed on the way.
  auto cut = cuts_.rbegin();
  int64_t cutTicks = 0;
  auto recordedSince = [&](size_t g) {
    const int64_t from = gops_[g].records.front().pts;
    for (; cut != cuts_.rend() && cut->start >= from; ++cut) {
      if (cut->start < recordedEnd) cutTicks += std::min(cut->End(), recordedEnd) - cut->start;
    }
    return recordedEnd - from - cutTicks;
  };
  Selection selection{gops_.size() - 1, recordedSince(gops_.size() - 1)};
  while (selection.first > 0 && selection.recorded < length && gops_[selection.first - 1].params == newest) {
    selection.recorded = recordedSince(--selection.first);
  }
  return selection;
}

// ---------------------------------------------------------------------------
// Clip selection

bool ReplayBuffer::TakeClip(int64_t length, int64_t now, Clip& out) {
  WaitForFlush();
  std::lock_guard<std::mutex> lock(indexMutex_);
  if (gops_.empty()) return false;

  // While video flows the clip ends at the request; once it has stopped for
  // more than 1 s, at the last picture, so a pause costs nothing.
  const bool flowing = now - latestVideoEnd_ <= kCutThreshold;
  const size_t first = SelectFirstGop(length, std::min(now, latestVideoEnd_)).first;

  out.start = gops_[first].records.front().pts;
  out.end = flowing ? now : latestVideoEnd_;
  out.video = *gops_.back().params;
  out.videoPackets.clear();
  for (size_t g = first; g < gops_.size(); ++g) {
    for (const PacketRecord& record : gops_[g].records) {
      if (record.pts < now) out.videoPackets.push_back(record);
    }
  }
  out.cuts.clear();
  for (const MediaCut& cut : cuts_) {
    if (cut.start >= out.start && cut.start < out.end) out.cuts.push_back(cut);
  }
  out.audioTracks = audioTracks_;
  out.audioPackets.assign(audioTracks_.size(), {});
  for (size_t t = 0; t < audioIndex_.size() && t < out.audioPackets.size(); ++t) {
    const std::deque<PacketRecord>& queue = audioIndex_[t];
    for (auto it = FirstAfter(queue, out.start - 1); it != queue.end() && it->pts < out.end; ++it) {
      AppendAudioOutsideCuts(out.cuts, out.audioPackets[t], *it);
    }
  }
  return !out.videoPackets.empty();
}

void ReplayBuffer::ExtendClipAudio(Clip& clip) {
  WaitForFlush();
  std::lock_guard<std::mutex> lock(indexMutex_);
  if (!(clip.audioTracks == audioTracks_)) return;
  clip.audioPackets.resize(audioTracks_.size());
  // A stretch without video that began inside the clip and has ended since
  // is a cut too; audio already taken from it goes.
  const int64_t knownCut = clip.cuts.empty() ? clip.start - 1 : clip.cuts.back().start;
  bool newCut = false;
  for (const MediaCut& cut : cuts_) {
    if (cut.start > knownCut && cut.start >= clip.start && cut.start < clip.end) {
      clip.cuts.push_back(cut);
      newCut = true;
    }
  }
  for (size_t t = 0; t < audioIndex_.size(); ++t) {
    std::vector<PacketRecord>& list = clip.audioPackets[t];
    while (newCut && !list.empty() && InsideCut(clip.cuts, list.back().pts)) list.pop_back();
    const int64_t last = std::max(list.empty() ? clip.start - 1 : list.back().pts, clip.start - 1);
    const std::deque<PacketRecord>& queue = audioIndex_[t];
    for (auto it = FirstAfter(queue, last); it != queue.end() && it->pts < clip.end; ++it) {
      AppendAudioOutsideCuts(clip.cuts, list, *it);
    }
  }
}

}  // namespace kp
