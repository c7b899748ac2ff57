#include "export/ffmpeg_input.h"

#include "platform/text.h"

namespace kp {

namespace {
constexpr AVRational kTicks{1, 10'000'000};
}

int64_t StreamTimeToTicks(int64_t time, AVRational timeBase) { return av_rescale_q(time, timeBase, kTicks); }
int64_t TicksToStreamTime(int64_t ticks, AVRational timeBase) { return av_rescale_q(ticks, kTicks, timeBase); }

FfmpegInput::~FfmpegInput() {
  av_packet_free(&packet_);
  avcodec_free_context(&decoder_);
  avformat_close_input(&format_);
}

bool FfmpegInput::Open(const std::wstring& path) {
  // The "file:" protocol keeps names with a colon from being taken as URLs.
  const std::string url = "file:" + WideToUtf8(path);
  if (avformat_open_input(&format_, url.c_str(), nullptr, nullptr) < 0) {
    format_ = nullptr;
    return false;
  }
  // A file it fails on is still read with what its header says.
  avformat_find_stream_info(format_, nullptr);
  if (format_->start_time != AV_NOPTS_VALUE) {
    startTicks_ = av_rescale_q(format_->start_time, AVRational{1, AV_TIME_BASE}, kTicks);
  }
  return true;
}

int64_t FfmpegInput::SourceTime(int64_t streamTime, uint32_t avIndex) const {
  return StreamTimeToTicks(streamTime, format_->streams[avIndex]->time_base) - startTicks_;
}

AVCodecContext* FfmpegInput::OpenDecoder(uint32_t avIndex) {
  if (!format_ || avIndex >= format_->nb_streams || decoder_) return nullptr;
  for (uint32_t i = 0; i < format_->nb_streams; ++i) {
    format_->streams[i]->discard = i == avIndex ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  }
  const AVCodecParameters* parameters = format_->streams[avIndex]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
  if (!codec) return nullptr;
  decoder_ = avcodec_alloc_context3(codec);
  if (!decoder_ || avcodec_parameters_to_context(decoder_, parameters) < 0) {
    avcodec_free_context(&decoder_);
    return nullptr;
  }
  decoder_->thread_count = 1;
  decoder_->pkt_timebase = format_->streams[avIndex]->time_base;
  if (avcodec_open2(decoder_, codec, nullptr) < 0) {
    avcodec_free_context(&decoder_);
    return nullptr;
  }
  streamIndex_ = static_cast<int>(avIndex);
  return decoder_;
}

void FfmpegInput::Seek(uint32_t avIndex, int64_t ticks) {
  if (!format_ || avIndex >= format_->nb_streams) return;
  const AVStream* stream = format_->streams[avIndex];
  int64_t target = TicksToStreamTime(ticks + startTicks_, stream->time_base);
  if (stream->start_time != AV_NOPTS_VALUE && target < stream->start_time) target = stream->start_time;
  const int index = static_cast<int>(avIndex);
  // The nearest keyframe at or before the target; a target before the first
  // keyframe lands on the first one.
  if (avformat_seek_file(format_, index, INT64_MIN, target, target, 0) < 0) {
    avformat_seek_file(format_, index, INT64_MIN, target, INT64_MAX, 0);
  }
  if (decoder_) avcodec_flush_buffers(decoder_);
  draining_ = false;
}

FfmpegInput::Next FfmpegInput::NextFrame(AVFrame* frame) {
  if (!decoder_) return Next::Failed;
  if (!packet_ && !(packet_ = av_packet_alloc())) return Next::Failed;
  for (;;) {
    const int received = avcodec_receive_frame(decoder_, frame);
    if (received == 0) return Next::Frame;
    if (received == AVERROR_EOF) return Next::End;
    if (received != AVERROR(EAGAIN)) return Next::Failed;
    const int read = av_read_frame(format_, packet_);
    if (read == AVERROR_EOF) {
      // Also the end of a truncated file: what was decoded so far counts.
      if (draining_) return Next::End;
      draining_ = true;
      avcodec_send_packet(decoder_, nullptr);
      continue;
    }
    if (read < 0) return Next::Failed;
    if (packet_->stream_index != streamIndex_) {
      av_packet_unref(packet_);
      continue;
    }
    const int sent = avcodec_send_packet(decoder_, packet_);
    av_packet_unref(packet_);
    if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA) return Next::Failed;
  }
}

}  // namespace kp
