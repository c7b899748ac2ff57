// The media system an export runs on: the platform's reader of the source
// clip (probe, video decoding on a chosen GPU, audio as 48 kHz stereo PCM)
// and its edit frame processor. The export pipeline owns these interfaces
// and all the rules around them; each build implements them at its edge
// (Media Foundation and D3D11 on Windows, FFmpeg and CPU frames on Linux).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "export/export_segments.h"
#include "video/video_encoder.h"

namespace kp {

enum class StreamKind { Video, Audio, Other };

// What the reader reports about one stream, raw: the export decides what the
// values mean (ProbeInput).
struct SourceStream {
  uint32_t index = 0;  // the reader's stream index
  StreamKind kind = StreamKind::Other;
  bool hasFrameSize = false;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t frameRateNumerator = 0;  // 0/0 when unknown
  uint32_t frameRateDenominator = 0;
  std::optional<uint32_t> yuvMatrix;  // 1 BT.709, 2 BT.601, others: neither
  uint32_t averageBytesPerSecond = 0;  // audio; 0 when unknown
  // The container's own identifier of the stream where the reader reports
  // one (an MP4's track ID); the export matches tracks to `trak` boxes by it.
  std::optional<uint32_t> streamId;
};

// Streams in the order the platform's source reader reports them.
struct SourceDescription {
  uint64_t duration = 0;  // ticks; 0 when unknown
  std::vector<SourceStream> streams;
};

enum class ReadStatus { Sample, NoSample, EndOfStream, Failed };

struct DecodedPicture {
  int64_t time = 0;       // source time line, ticks
  int64_t duration = 0;   // 0 when the sample has none
  GpuTexture* texture = nullptr;  // null: the sample held no usable picture
  uint32_t subresource = 0;
};

// Decodes the first video stream on one GPU. Used by one thread.
class VideoSource {
 public:
  virtual ~VideoSource() = default;
  virtual GpuDevice* Device() = 0;
  // Moves the reader to `time`; whether it could is not reported.
  virtual void Seek(int64_t time) = 0;
  // One pass of the reader. The picture stays valid until the next call.
  virtual ReadStatus Read(DecodedPicture* picture) = 0;
};

struct PcmBlock {
  int64_t time = 0;                 // source time line, ticks
  const int16_t* frames = nullptr;  // interleaved stereo, valid until the next Read
  uint32_t frameCount = 0;
};

// Decodes one audio stream. Used by one thread.
class AudioTrackReader {
 public:
  virtual ~AudioTrackReader() = default;
  // Asks for 16-bit stereo PCM at 48 kHz; false when refused or when the
  // reader then reports anything else.
  virtual bool SelectPcm48kStereo() = 0;
  virtual void Seek(int64_t time) = 0;
  virtual ReadStatus Read(PcmBlock* block) = 0;
};

// Crops a decoded picture, draws the overlays whose window covers its time
// and leaves the result as the NV12 texture the encoder reads.
class EditFrameProcessor {
 public:
  virtual ~EditFrameProcessor() = default;
  virtual bool Initialize(GpuDevice* device, const SourceRect& crop, uint32_t fps, bool bt709) = 0;
  // Before the first frame; false fails the export.
  virtual bool AddOverlay(const std::wstring& image, int32_t x, int32_t y, int64_t start, int64_t end) = 0;
  // `time` is the picture's source time stamp, which overlay windows use.
  virtual bool ProcessFrame(GpuTexture* picture, uint32_t subresource, int64_t time) = 0;
  virtual GpuTexture* OutputTexture() = 0;
};

// An overlay is drawn on frames with start <= time < end.
inline bool OverlayCovers(int64_t start, int64_t end, int64_t time) { return start <= time && time < end; }

class ExportMedia {
 public:
  virtual ~ExportMedia() = default;
  // Starts the platform's media system for this thread; false fails the
  // export. Stopped again when the object goes.
  virtual bool Start() = 0;
  // The reader's view of the input; empty when it cannot be opened.
  virtual std::optional<SourceDescription> Describe(const std::wstring& input) = 0;
  // Number of GPUs to try, in order of preference.
  virtual size_t AdapterCount() = 0;
  // The input's first video stream decoded on adapter `adapter`; null (with
  // the edge's own log line) when that GPU cannot.
  virtual std::unique_ptr<VideoSource> OpenVideoSource(size_t adapter, const std::wstring& input) = 0;
  virtual std::unique_ptr<EditFrameProcessor> CreateEditFrameProcessor() = 0;
  // A fresh reader of stream `streamIndex`; null when it cannot be opened.
  virtual std::unique_ptr<AudioTrackReader> OpenAudioTrack(const std::wstring& input, uint32_t streamIndex) = 0;
};

// The platform's media system: Media Foundation, D3D11 and WIC on Windows;
// FfmpegExportMedia (libavformat, the CPU frame processor) on Linux.
std::unique_ptr<ExportMedia> CreatePlatformExportMedia();

}  // namespace kp
