#include "media/mp4_writer.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "app/log.h"
#include "media/mp4_boxes.h"

namespace kp {
namespace {

constexpr uint32_t kVideoTimescale = 90'000;
constexpr size_t kSinkBufferSize = 8 * 1024 * 1024;
constexpr uint64_t kProgressStep = 64ull * 1024 * 1024;
constexpr uint64_t kClonePiece = 1ull << 30;

// Every byte of the file passes through one 8 MiB buffer that is written
// only when exactly full (and once more at the end), so the file sees few,
// large, sequential writes whatever piece sizes the producer uses. Ranges of
// files bypass the buffer: what it holds is written first, so the file's
// position is the payload's, and the file layer copies or clones the range.
// After the first failed write the sink refuses everything.
class BufferedSink final : public PayloadSink {
 public:
  BufferedSink(File& file, uint64_t expectedSize, const std::function<void(double)>& onProgress)
      : file_(file),
        buffer_(new uint8_t[kSinkBufferSize]),
        expectedSize_(expectedSize),
        onProgress_(onProgress) {}

  bool Put(const void* data, size_t size) override {
    if (failed_) return false;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    size_t left = size;
    while (left > 0) {
      const size_t piece = std::min(left, kSinkBufferSize - used_);
      std::copy(bytes, bytes + piece, buffer_.get() + used_);
      used_ += piece;
      bytes += piece;
      left -= piece;
      if (used_ == kSinkBufferSize && !WriteBuffer()) return false;
    }
    Accept(size);
    return true;
  }

  bool PutRange(File& source, uint64_t offset, uint64_t length) override {
    return PutFileRange(source, offset, length, 0);
  }

  bool PutBlocks(File& source, uint64_t offset, uint64_t length, uint64_t blockSize) override {
    return PutFileRange(source, offset, length, blockSize);
  }

  // Writes what is still buffered.
  bool Finish() { return !failed_ && (used_ == 0 || WriteBuffer()); }

  uint64_t accepted() const { return accepted_; }

 private:
  // `blockSize` 0: copy, in pieces of one progress step. Otherwise clone,
  // in pieces of whole blocks that are large, since a clone costs about the
  // same at any length (one call per segment span); after the first refusal
  // the rest is copied without asking again.
  bool PutFileRange(File& source, uint64_t offset, uint64_t length, uint64_t blockSize) {
    if (!Finish()) return false;
    const uint64_t piece = blockSize == 0 ? kProgressStep : std::max(blockSize, kClonePiece / blockSize * blockSize);
    while (length > 0) {
      const uint64_t n = std::min(length, piece);
      IoStatus status = IoStatus::Failure(kErrorNotSupported);
      if (blockSize != 0 && !clonesRefused_) {
        status = file_.CloneRange(source, offset, n);
        clonesRefused_ = !status;
      }
      if (!status) status = file_.CopyRange(source, offset, n);
      if (!status) {
        failed_ = true;
        return false;
      }
      offset += n;
      length -= n;
      Accept(n);
    }
    return true;
  }

  void Accept(uint64_t size) {
    accepted_ += size;
    if (onProgress_ && accepted_ - lastReport_ >= kProgressStep) {
      lastReport_ = accepted_;
      onProgress_(static_cast<double>(accepted_) / static_cast<double>(expectedSize_));
    }
  }

  bool WriteBuffer() {
    if (!file_.Write(buffer_.get(), used_)) {
      failed_ = true;
      return false;
    }
    used_ = 0;
    return true;
  }

  File& file_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t used_ = 0;
  uint64_t accepted_ = 0;
  uint64_t lastReport_ = 0;
  bool failed_ = false;
  bool clonesRefused_ = false;
  const uint64_t expectedSize_;
  const std::function<void(double)>& onProgress_;
};

}  // namespace

struct Mp4Writer::Header {
  ByteBuilder bytes;  // ftyp, then moov
  MoovPlan plan;
  std::vector<size_t> chunkOffsets;
};

Mp4Writer::Mp4Writer(Files& files, Clock& clock) : files_(files), clock_(clock) {}

Mp4Writer::~Mp4Writer() = default;

Mp4Writer::Header* Mp4Writer::BuiltHeader() {
  if (header_ || refused_) return header_.get();
  auto header = std::make_unique<Header>();
  const std::vector<Mp4TrackView> views = Views();
  if (!PlanMoov(views, &header->plan)) return nullptr;
  BuildFtyp(header->bytes);
  BuildMoov(views, header->plan, header->bytes, header->chunkOffsets);
  header_ = std::move(header);
  return header_.get();
}

int Mp4Writer::AddVideoTrack(const VideoTrackInfo& info) {
  // The avcC record takes profile, compatibility and level from SPS bytes 1
  // to 3; without them no player could set up a decoder for the file.
  if (info.sps.size() < 4) {
    Log("mp4: video track refused, SPS of %zu bytes is too short", info.sps.size());
    refused_ = true;
    return -1;
  }
  header_.reset();
  Track& track = tracks_.emplace_back();
  track.isVideo = true;
  track.video = info;
  track.timescale = kVideoTimescale;
  return static_cast<int>(tracks_.size() - 1);
}

int Mp4Writer::AddAudioTrack(const AudioTrackInfo& info) {
  header_.reset();
  Track& track = tracks_.emplace_back();
  track.isVideo = false;
  track.audio = info;
  track.timescale = info.sampleRate;
  return static_cast<int>(tracks_.size() - 1);
}

void Mp4Writer::AddSample(int track, std::shared_ptr<const EncodedPacket> packet) {
  if (track < 0 || static_cast<size_t>(track) >= tracks_.size() || !packet) return;
  SampleEntry entry;
  entry.pts = packet->pts;
  entry.duration = packet->duration;
  entry.keyframe = packet->keyframe;
  entry.size = static_cast<uint32_t>(packet->data.size());
  entry.packet = std::move(packet);
  header_.reset();
  tracks_[static_cast<size_t>(track)].samples.push_back(std::move(entry));
}

void Mp4Writer::AddSample(int track, SampleEntry entry) {
  if (track < 0 || static_cast<size_t>(track) >= tracks_.size()) return;
  header_.reset();
  tracks_[static_cast<size_t>(track)].samples.push_back(std::move(entry));
}

bool Mp4Writer::Write(const std::wstring& path) {
  // Interleave by time so a player reading front to back finds audio and
  // video of the same moment close together; ties go to the lower track.
  struct Slot {
    int64_t pts;
    uint32_t track;
    uint32_t sample;
  };
  std::vector<Slot> order;
  size_t total = 0;
  for (const Track& track : tracks_) total += track.samples.size();
  order.reserve(total);
  for (size_t t = 0; t < tracks_.size(); ++t) {
    const auto& samples = tracks_[t].samples;
    for (size_t i = 0; i < samples.size(); ++i) {
      order.push_back({samples[i].pts, static_cast<uint32_t>(t), static_cast<uint32_t>(i)});
    }
  }
  std::stable_sort(order.begin(), order.end(), [](const Slot& a, const Slot& b) {
    return a.pts != b.pts ? a.pts < b.pts : a.track < b.track;
  });

  uint64_t payloadSize = 0;
  for (const Slot& slot : order) {
    SampleEntry& entry = tracks_[slot.track].samples[slot.sample];
    entry.mdatOffset = payloadSize;
    payloadSize += entry.size;
  }

  auto producer = [&](const ByteSink& sink) {
    for (const Slot& slot : order) {
      const SampleEntry& entry = tracks_[slot.track].samples[slot.sample];
      // Only packet-carrying samples can be laid out here; a streamed entry
      // has no bytes to give, which fails the write.
      if (!entry.packet) return false;
      if (!sink(entry.packet->data.data(), entry.size)) return false;
    }
    return true;
  };
  return Write(path, payloadSize, producer);
}

std::vector<Mp4TrackView> Mp4Writer::Views() const {
  std::vector<Mp4TrackView> views;
  views.reserve(tracks_.size());
  for (const Track& track : tracks_) {
    Mp4TrackView& view = views.emplace_back();
    view.video = track.isVideo ? &track.video : nullptr;
    view.audio = track.isVideo ? nullptr : &track.audio;
    view.timescale = track.timescale;
    view.samples = track.samples;
  }
  return views;
}

uint64_t Mp4Writer::HeaderSizeBeforeMdat() {
  const Header* header = BuiltHeader();
  return header == nullptr ? 0 : header->bytes.size();
}

void Mp4Writer::MoveSamples(const std::function<uint64_t(uint64_t)>& where) {
  for (Track& track : tracks_) {
    for (SampleEntry& sample : track.samples) sample.mdatOffset = where(sample.mdatOffset);
  }
}

bool Mp4Writer::Write(const std::wstring& path, uint64_t payloadSize, const PayloadProducer& producer) {
  return WriteRanges(path, payloadSize, [&producer](PayloadSink& sink) {
    return producer([&sink](const void* data, size_t size) { return sink.Put(data, size); });
  });
}

bool Mp4Writer::WriteRanges(const std::wstring& path, uint64_t payloadSize, const RangePayloadProducer& producer) {
  if (refused_) return false;  // AddVideoTrack has logged why
  Header* header = BuiltHeader();
  if (header == nullptr) {
    Log("mp4: nothing to write");
    return false;
  }
  ByteBuilder mdatHeader;
  BuildMdatHeader(payloadSize, mdatHeader);
  const uint64_t payloadStart = header->bytes.size() + mdatHeader.size();
  PatchChunkOffsets(Views(), header->plan, header->chunkOffsets, payloadStart, header->bytes);
  const uint64_t expectedSize = payloadStart + payloadSize;

  const std::wstring partPath = path + L".part";
  CreateOptions options;
  options.mode = CreateMode::kTruncate;  // a stale ".part" from a crash is overwritten
  options.hidden = true;
  options.sequential = true;
  std::unique_ptr<File> file;
  IoStatus created = files_.Create(partPath, options, &file);
  if (!created) {
    Log("mp4: cannot create output file (error %lu)", static_cast<unsigned long>(created.error));
    return false;
  }
  if (preallocate) file->Preallocate(expectedSize);  // advisory; the write works without it

  bool ok = false;
  {
    BufferedSink sink(*file, expectedSize, onProgress);
    // ftyp, moov and the mdat header go in as three pieces, as the payload
    // pieces do, so progress is judged after each of them.
    const uint8_t* bytes = header->bytes.bytes().data();
    const size_t ftypSize = 32;
    if (sink.Put(bytes, ftypSize) && sink.Put(bytes + ftypSize, header->bytes.size() - ftypSize) &&
        sink.Put(mdatHeader.bytes().data(), mdatHeader.size())) {
      const uint64_t before = sink.accepted();
      const bool produced = producer(sink);
      ok = produced && sink.accepted() - before == payloadSize && sink.Finish();
    }
  }
  // A close that fails may have lost buffered data, so it counts as a
  // failed write.
  ok = file->Close().Ok() && ok;
  file.reset();
  if (ok) ok = ReplaceRenamePatiently(files_, partPath, path, clock_).Ok();
  if (!ok) {
    files_.Delete(partPath);
    Log("mp4: write failed");
    return false;
  }
  files_.SetHidden(path, false);
  if (onProgress) onProgress(1.0);
  return true;
}

}  // namespace kp
