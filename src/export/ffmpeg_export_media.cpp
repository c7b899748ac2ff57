#include "export/ffmpeg_export_media.h"

#include <algorithm>

#include "export/cpu_edit_frame_processor.h"
#include "export/ffmpeg_audio_track_reader.h"
#include "export/ffmpeg_input.h"
#include "export/ffmpeg_video_source.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace kp {

namespace {

// The values a Media Foundation reader gives for the matrix: 1 BT.709,
// 2 BT.601, 3 SMPTE 240M; none when the stream does not say.
std::optional<uint32_t> YuvMatrix(AVColorSpace space) {
  switch (space) {
    case AVCOL_SPC_BT709: return 1u;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return 2u;
    case AVCOL_SPC_SMPTE240M: return 3u;
    default: return std::nullopt;
  }
}

SourceStream DescribeStream(const AVStream& stream, uint32_t readerIndex) {
  SourceStream out;
  out.index = readerIndex;
  // libavformat's stream id: an MP4's track ID, a TS packet id, a Matroska
  // track number.
  if (stream.id > 0) out.streamId = static_cast<uint32_t>(stream.id);
  const AVCodecParameters& p = *stream.codecpar;
  if (p.codec_type == AVMEDIA_TYPE_VIDEO && !(stream.disposition & AV_DISPOSITION_ATTACHED_PIC)) {
    out.kind = StreamKind::Video;
    out.hasFrameSize = p.width > 0 && p.height > 0;
    out.width = static_cast<uint32_t>(std::max(p.width, 0));
    out.height = static_cast<uint32_t>(std::max(p.height, 0));
    AVRational rate = stream.avg_frame_rate.num > 0 && stream.avg_frame_rate.den > 0 ? stream.avg_frame_rate
                                                                                     : stream.r_frame_rate;
    if (rate.num > 0 && rate.den > 0) {
      out.frameRateNumerator = static_cast<uint32_t>(rate.num);
      out.frameRateDenominator = static_cast<uint32_t>(rate.den);
    }
    out.yuvMatrix = YuvMatrix(p.color_space);
  } else if (p.codec_type == AVMEDIA_TYPE_AUDIO) {
    out.kind = StreamKind::Audio;
    if (p.bit_rate > 0) out.averageBytesPerSecond = static_cast<uint32_t>(std::min<int64_t>(p.bit_rate / 8, UINT32_MAX));
  }
  return out;
}

}  // namespace

std::optional<SourceDescription> FfmpegExportMedia::Describe(const std::wstring& input) {
  FfmpegInput file;
  if (!file.Open(input)) return std::nullopt;
  AVFormatContext* format = file.Format();
  SourceDescription description;
  if (format->duration != AV_NOPTS_VALUE && format->duration > 0) {
    description.duration = static_cast<uint64_t>(format->duration) * (10'000'000 / AV_TIME_BASE);
  }
  for (uint32_t r = 0; r < file.StreamCount(); ++r) {
    description.streams.push_back(DescribeStream(*format->streams[file.AvIndex(r)], r));
  }
  return description;
}

std::unique_ptr<VideoSource> FfmpegExportMedia::OpenVideoSource(size_t /*adapter*/, const std::wstring& input) {
  auto source = std::make_unique<FfmpegVideoSource>();
  if (!source->Open(input)) return nullptr;
  return source;
}

std::unique_ptr<EditFrameProcessor> FfmpegExportMedia::CreateEditFrameProcessor() {
  return std::make_unique<CpuEditFrameProcessor>();
}

std::unique_ptr<AudioTrackReader> FfmpegExportMedia::OpenAudioTrack(const std::wstring& input, uint32_t streamIndex) {
  auto reader = std::make_unique<FfmpegAudioTrackReader>();
  if (!reader->Open(input, streamIndex)) return nullptr;
  return reader;
}

}  // namespace kp
