// An input file opened with libavformat for one reader of the Linux build,
// and the numbering of its streams as the export sees them.
//
// Stream order: the reader numbers the streams in the reverse of the file's
// track order, as the Windows source reader does for the MP4 files this
// program writes: stream 0 is the file's last track (`trak` box) and the
// file's first track gets the highest number. The export's track-naming rule
// (ListSourceAudioTracks) depends on this order, so both builds name and
// order the tracks of an exported clip the same way.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace kp {

// Raw stream times and 100-ns ticks.
int64_t StreamTimeToTicks(int64_t time, AVRational timeBase);
int64_t TicksToStreamTime(int64_t ticks, AVRational timeBase);

class FfmpegInput {
 public:
  FfmpegInput() = default;
  ~FfmpegInput();
  FfmpegInput(const FfmpegInput&) = delete;
  FfmpegInput& operator=(const FfmpegInput&) = delete;

  // Opens the file (never a URL) and reads its stream information, so
  // streams whose parameters only the packets tell (audio in MPEG-TS) are
  // described and decodable; false when libavformat cannot read it.
  bool Open(const std::wstring& path);
  AVFormatContext* Format() { return format_; }
  uint32_t StreamCount() const { return format_ ? format_->nb_streams : 0; }

  // The reader's stream number of libavformat stream `avIndex`, and back.
  uint32_t ReaderIndex(uint32_t avIndex) const { return StreamCount() - 1 - avIndex; }
  uint32_t AvIndex(uint32_t readerIndex) const { return StreamCount() - 1 - readerIndex; }

  // Reads only stream `avIndex` from now on and opens its decoder (one
  // thread); null when there is no decoder for it.
  AVCodecContext* OpenDecoder(uint32_t avIndex);

  // Source times: ticks from the input's start (the earliest stream start),
  // the time line the container's duration is measured on, so a stream that
  // begins at 1.4 s (MPEG-TS) is read from 0 like an MP4.
  int64_t SourceTime(int64_t streamTime, uint32_t avIndex) const;

  // Moves to the last keyframe at or before source time `ticks` of stream `avIndex`
  // (to the start when there is none) and empties the decoder.
  void Seek(uint32_t avIndex, int64_t ticks);

  enum class Next { Frame, End, Failed };
  // Decodes the next frame of the opened stream into `frame`, reading and
  // sending packets as the decoder asks; End once the decoder is drained.
  Next NextFrame(AVFrame* frame);

 private:
  int64_t startTicks_ = 0;
  AVPacket* packet_ = nullptr;
  bool draining_ = false;
  int streamIndex_ = -1;
  AVFormatContext* format_ = nullptr;
  AVCodecContext* decoder_ = nullptr;
};

}  // namespace kp
