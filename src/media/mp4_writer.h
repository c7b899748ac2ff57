// Writes one complete, non-fragmented MP4 file (ftyp, moov, mdat) with one
// H.264 track and any number of AAC tracks. The payload comes either from the
// packets held in memory or from a caller's producer whose byte layout the
// caller planned, as bytes or as ranges of open files that the file layer
// copies (or clones) without them passing through this writer's buffer. The
// file is written as target + ".part" and moved over the
// target only when every byte was written; on failure the ".part" file is
// deleted and an existing target is left as it was. Used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/packet.h"
#include "platform/files.h"

namespace kp {

struct Mp4TrackView;  // mp4_boxes.h

struct SampleEntry {
  int64_t pts = 0;
  int64_t duration = 0;
  bool keyframe = false;
  uint32_t size = 0;
  uint64_t mdatOffset = 0;  // from the first byte of the mdat payload
  std::shared_ptr<const EncodedPacket> packet;  // empty when streamed
};

// Receives consecutive pieces of the payload; false when the file write
// failed, after which the producer stops and returns false.
using ByteSink = std::function<bool(const void*, size_t)>;
// Delivers the whole payload through the sink; true when all was delivered.
using PayloadProducer = std::function<bool(const ByteSink&)>;

// Receives consecutive pieces of the payload as bytes or as ranges of open
// files. Every call returns false once a write failed, after which the
// producer stops and returns false.
class PayloadSink {
 public:
  virtual bool Put(const void* data, size_t size) = 0;
  // Appends `length` bytes of `source` from `offset`, copied by the file layer.
  virtual bool PutRange(File& source, uint64_t offset, uint64_t length) = 0;
  // Appends the range by sharing its blocks where the file system can, else
  // copies it. `offset`, `length` and the file position the payload has
  // reached must be multiples of `blockSize`.
  virtual bool PutBlocks(File& source, uint64_t offset, uint64_t length, uint64_t blockSize) = 0;

 protected:
  ~PayloadSink() = default;
};
using RangePayloadProducer = std::function<bool(PayloadSink&)>;

class Mp4Writer {
 public:
  // `clock` paces the retries of the final rename (ReplaceRenamePatiently).
  explicit Mp4Writer(Files& files = SystemFiles(), Clock& clock = SystemClock());
  ~Mp4Writer();

  // Timescale 90,000. An SPS shorter than 4 bytes (an encoder fault) is
  // refused with a log line: the result is -1, and every Write of this
  // writer fails without touching a file.
  int AddVideoTrack(const VideoTrackInfo& info);
  int AddAudioTrack(const AudioTrackInfo& info);  // timescale = sampleRate
  void AddSample(int track, std::shared_ptr<const EncodedPacket> packet);
  void AddSample(int track, SampleEntry entry);

  // Lays out the held packets (by pts, ties by track index) and writes them.
  bool Write(const std::wstring& path);
  // Writes a payload of exactly `payloadSize` bytes delivered by `producer`.
  bool Write(const std::wstring& path, uint64_t payloadSize, const PayloadProducer& producer);
  // The same, for a producer that may also hand over ranges of files.
  // Progress still follows the bytes done: copied ranges go in pieces of
  // 64 MiB, cloned ones (done in moments) in pieces of up to 1 GiB.
  bool WriteRanges(const std::wstring& path, uint64_t payloadSize, const RangePayloadProducer& producer);

  // Bytes of ftyp and moov for the samples added so far, so the payload
  // starts at this plus MdatHeaderSize(payloadSize). Sample offsets do not
  // change it (chunk offsets are fixed-width). 0 when nothing can be written.
  // The header built for it is kept for the write, which then only fills in
  // the chunk offsets.
  uint64_t HeaderSizeBeforeMdat();
  // Replaces every sample's mdatOffset by `where`(mdatOffset), for a caller
  // that lays its payload out once the header size is known.
  void MoveSamples(const std::function<uint64_t(uint64_t)>& where);

  // Called with the fraction written about every 64 MiB, and 1.0 at the end.
  std::function<void(double)> onProgress;
  // Reserve the file's final size before writing. Off where the payload is
  // mostly shared blocks, which need no space of their own.
  bool preallocate = true;

 private:
  struct Track {
    bool isVideo = false;
    VideoTrackInfo video;
    AudioTrackInfo audio;
    uint32_t timescale = 0;
    std::vector<SampleEntry> samples;
  };

  struct Header;

  std::vector<Mp4TrackView> Views() const;
  // ftyp + moov for the tracks and samples as they are now, built on first
  // use after a change; null when nothing can be written.
  Header* BuiltHeader();

  Files& files_;
  Clock& clock_;
  std::vector<Track> tracks_;
  bool refused_ = false;  // a track was refused: the file could not be played
  std::unique_ptr<Header> header_;  // reset by every added track or sample
};

}  // namespace kp
