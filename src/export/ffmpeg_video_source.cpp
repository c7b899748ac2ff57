#include "export/ffmpeg_video_source.h"

#include <cstring>

#include "app/log.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace kp {

FfmpegVideoSource::~FfmpegVideoSource() { av_frame_free(&frame_); }

bool FfmpegVideoSource::Open(const std::wstring& input) {
  if (!input_.Open(input)) return false;
  AVFormatContext* format = input_.Format();
  // The first video stream in the reader's numbering.
  int first = -1;
  for (uint32_t r = 0; r < input_.StreamCount(); ++r) {
    const AVStream* stream = format->streams[input_.AvIndex(r)];
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      first = static_cast<int>(input_.AvIndex(r));
      break;
    }
  }
  frame_ = av_frame_alloc();
  if (first < 0 || !frame_ || !input_.OpenDecoder(static_cast<uint32_t>(first))) {
    Log("export: no decoder for this video");
    return false;
  }
  avIndex_ = static_cast<uint32_t>(first);
  return true;
}

void FfmpegVideoSource::Seek(int64_t time) { input_.Seek(avIndex_, time); }

ReadStatus FfmpegVideoSource::Read(DecodedPicture* picture) {
  *picture = DecodedPicture{};
  av_frame_unref(frame_);
  switch (input_.NextFrame(frame_)) {
    case FfmpegInput::Next::End:
      return ReadStatus::EndOfStream;
    case FfmpegInput::Next::Failed:
      return ReadStatus::Failed;
    case FfmpegInput::Next::Frame:
      break;
  }
  const AVRational timeBase = input_.Format()->streams[avIndex_]->time_base;
  const int64_t stamp = frame_->best_effort_timestamp != AV_NOPTS_VALUE ? frame_->best_effort_timestamp : frame_->pts;
  if (stamp == AV_NOPTS_VALUE) return ReadStatus::NoSample;
  picture->time = input_.SourceTime(stamp, avIndex_);
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
  const int64_t duration = frame_->duration;
#else
  const int64_t duration = frame_->pkt_duration;
#endif
  picture->duration = duration > 0 ? StreamTimeToTicks(duration, timeBase) : 0;
  // A picture the source cannot hand out is a frame failure of the export.
  if (CopyPicture()) picture->texture = reinterpret_cast<GpuTexture*>(&picture_);
  return ReadStatus::Sample;
}

bool FfmpegVideoSource::CopyPicture() {
  const auto format = static_cast<AVPixelFormat>(frame_->format);
  const bool planar = format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P;
  if (!planar && format != AV_PIX_FMT_NV12) {
    const char* name = av_get_pix_fmt_name(format);
    Log("export: decoded pictures in %s are not supported", name ? name : "an unknown format");
    return false;
  }
  const auto width = static_cast<uint32_t>(frame_->width) & ~1u;
  const auto height = static_cast<uint32_t>(frame_->height) & ~1u;
  if (width == 0 || height == 0) return false;
  if (picture_.width != width || picture_.height != height) picture_.Resize(width, height);
  for (uint32_t y = 0; y < height; ++y) {
    std::memcpy(picture_.Luma(y), frame_->data[0] + static_cast<ptrdiff_t>(y) * frame_->linesize[0], width);
  }
  for (uint32_t y = 0; y < height / 2; ++y) {
    uint8_t* out = picture_.Chroma(y);
    if (!planar) {
      std::memcpy(out, frame_->data[1] + static_cast<ptrdiff_t>(y) * frame_->linesize[1], width);
      continue;
    }
    const uint8_t* cb = frame_->data[1] + static_cast<ptrdiff_t>(y) * frame_->linesize[1];
    const uint8_t* cr = frame_->data[2] + static_cast<ptrdiff_t>(y) * frame_->linesize[2];
    for (uint32_t x = 0; x < width / 2; ++x) {
      out[2 * x] = cb[x];
      out[2 * x + 1] = cr[x];
    }
  }
  return true;
}

}  // namespace kp
