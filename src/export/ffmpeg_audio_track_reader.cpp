#include "export/ffmpeg_audio_track_reader.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace kp {

namespace {
constexpr int kRate = 48'000;
}

FfmpegAudioTrackReader::~FfmpegAudioTrackReader() {
  swr_free(&resampler_);
  av_frame_free(&frame_);
}

bool FfmpegAudioTrackReader::Open(const std::wstring& input, uint32_t streamIndex) {
  if (!input_.Open(input) || streamIndex >= input_.StreamCount()) return false;
  avIndex_ = input_.AvIndex(streamIndex);
  if (input_.Format()->streams[avIndex_]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) return false;
  frame_ = av_frame_alloc();
  decoder_ = frame_ ? input_.OpenDecoder(avIndex_) : nullptr;
  return decoder_ != nullptr;
}

bool FfmpegAudioTrackReader::SelectPcm48kStereo() {
  if (decoder_->sample_rate <= 0 || decoder_->ch_layout.nb_channels <= 0) return false;
  AVChannelLayout in{};
  if (decoder_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&in, decoder_->ch_layout.nb_channels);
  } else if (av_channel_layout_copy(&in, &decoder_->ch_layout) < 0) {
    return false;
  }
  AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
  const int made = swr_alloc_set_opts2(&resampler_, &stereo, AV_SAMPLE_FMT_S16, kRate, &in, decoder_->sample_fmt,
                                       decoder_->sample_rate, 0, nullptr);
  av_channel_layout_uninit(&in);
  return made >= 0 && swr_init(resampler_) >= 0;
}

void FfmpegAudioTrackReader::Seek(int64_t time) {
  input_.Seek(avIndex_, time);
  // Samples held for the old position must not leak into the new one.
  if (resampler_) swr_init(resampler_);
  nextTime_ = time;
}

ReadStatus FfmpegAudioTrackReader::Read(PcmBlock* block) {
  *block = PcmBlock{};
  av_frame_unref(frame_);
  switch (input_.NextFrame(frame_)) {
    case FfmpegInput::Next::End:
      return ReadStatus::EndOfStream;
    case FfmpegInput::Next::Failed:
      return ReadStatus::Failed;
    case FfmpegInput::Next::Frame:
      break;
  }
  if (!resampler_) return ReadStatus::Failed;
  if (frame_->nb_samples <= 0) return ReadStatus::NoSample;
  const int64_t stamp = frame_->best_effort_timestamp != AV_NOPTS_VALUE ? frame_->best_effort_timestamp : frame_->pts;
  const int64_t time = stamp != AV_NOPTS_VALUE ? input_.SourceTime(stamp, avIndex_) : nextTime_;
  // The first output sample is the input sample `delay` ticks before this
  // frame's first one.
  const int64_t delay = swr_get_delay(resampler_, 10'000'000);
  const int capacity = swr_get_out_samples(resampler_, frame_->nb_samples);
  if (capacity < 0) return ReadStatus::Failed;
  pcm_.resize(static_cast<size_t>(capacity) * 2);
  auto* out = reinterpret_cast<uint8_t*>(pcm_.data());
  const int frames = swr_convert(resampler_, &out, capacity, const_cast<const uint8_t**>(frame_->extended_data),
                                 frame_->nb_samples);
  if (frames < 0) return ReadStatus::Failed;
  nextTime_ = time + int64_t{frame_->nb_samples} * 10'000'000 / decoder_->sample_rate;
  if (frames == 0) return ReadStatus::NoSample;
  block->time = time - delay;
  block->frames = pcm_.data();
  block->frameCount = static_cast<uint32_t>(frames);
  return ReadStatus::Sample;
}

}  // namespace kp
