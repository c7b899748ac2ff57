// The Linux build's AAC codec: FFmpeg's native AAC-LC encoder through
// libavcodec, fed planar float as that encoder requires. Its packets are raw
// access units (no ADTS), and its AudioSpecificConfig is checked against the
// 0x11 0x90 that the tracks announce, so a library that would encode
// anything else is refused as a media-type mismatch.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include "app/ffmpeg_log_posix.h"
#include "audio/aac_codec.h"
#include "audio/aac_encoder.h"
#include "audio/audio_format.h"

namespace kp {

namespace {

constexpr uint32_t kClassNotRegistered = 0x80040154;
constexpr uint32_t kOutOfMemory = 0x8007000E;
constexpr uint32_t kFail = 0x80004005;

uint32_t Code(int averror) { return static_cast<uint32_t>(averror); }

class FfmpegAacCodec : public AacCodec {
 public:
  FfmpegAacCodec(const AVCodec* codec, AVCodecContext* context, AVFrame* frame, AVPacket* packet)
      : codec_(codec), context_(context), frame_(frame), packet_(packet) {}

  ~FfmpegAacCodec() override {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
  }

  uint32_t SetInputType() override {
    inputSet_ = true;
    return kOk;
  }

  uint32_t SetOutputType(uint32_t kbps) override {
    if (!inputSet_ || opened_) return Code(AVERROR(EINVAL));
    context_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context_->sample_rate = static_cast<int>(kAudioSampleRate);
    av_channel_layout_default(&context_->ch_layout, kAudioChannels);
    context_->bit_rate = static_cast<int64_t>(kbps) * 1000;
    // Ticks as the time base: the codec's own output times come back in the
    // unit the first-frame offset is logged in.
    context_->time_base = AVRational{1, 10'000'000};
    context_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int result = avcodec_open2(context_, codec_, nullptr);
    if (result < 0) return Code(result);
    // FFmpeg appends an explicit "no SBR" extension to the two bytes; the
    // stream it describes is the same AAC-LC one.
    const std::vector<uint8_t> expected = AacEncoder::AudioSpecificConfig();
    if (context_->extradata_size < static_cast<int>(expected.size()) ||
        std::memcmp(context_->extradata, expected.data(), expected.size()) != 0) {
      return kFail;
    }
    opened_ = true;
    return kOk;
  }

  uint32_t OutputBufferSize() override { return 0; }

  void BeginStream() override {}

  // Any number of frames is accepted: FFmpeg's encoder takes exactly one
  // codec frame (1,024) per call, so input is queued and handed over a codec
  // frame at a time, as far as the encoder accepts it; the rest goes in when
  // output is collected. Only the last frame of a drained stream may be short.
  uint32_t ProcessInput(const int16_t* samples, uint32_t frames, int64_t time, int64_t /*duration*/) override {
    if (!opened_) return Code(AVERROR(EINVAL));
    if (pending_.empty()) pendingTime_ = time;
    pending_.insert(pending_.end(), samples, samples + size_t{frames} * kAudioChannels);
    const int result = SendPending();
    return result < 0 ? Code(result) : kOk;
  }

  uint32_t ProcessOutput(uint32_t /*bufferSize*/, std::vector<uint8_t>* data, bool* hasTime,
                         int64_t* time) override {
    data->clear();
    if (!opened_) return kNeedMoreInput;
    int result = avcodec_receive_packet(context_, packet_);
    if (result == AVERROR(EAGAIN)) {
      // The encoder may be waiting for queued input.
      const int sent = SendPending();
      if (sent < 0) return Code(sent);
      result = avcodec_receive_packet(context_, packet_);
    }
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return kNeedMoreInput;
    if (result < 0) return Code(result);
    data->assign(packet_->data, packet_->data + packet_->size);
    *hasTime = packet_->pts != AV_NOPTS_VALUE;
    *time = packet_->pts;
    av_packet_unref(packet_);
    return kOk;
  }

  uint32_t Drain() override {
    if (!opened_) return Code(AVERROR(EINVAL));
    draining_ = true;
    const int result = SendPending();
    return result < 0 ? Code(result) : kOk;
  }

 private:
  // Hands queued codec frames to the encoder until it stops accepting
  // (0, the rest waits) or fails (< 0); when draining, the short tail and
  // then the end of the stream follow.
  int SendPending() {
    const size_t codecFrame = context_->frame_size > 0 ? static_cast<size_t>(context_->frame_size) : 1024;
    for (;;) {
      const size_t queued = (pending_.size() - consumed_) / kAudioChannels;
      if (queued == 0 || (queued < codecFrame && !draining_)) break;
      const size_t frames = std::min(queued, codecFrame);
      const int result = SendFrame(pending_.data() + consumed_, frames);
      if (result == AVERROR(EAGAIN)) return 0;
      if (result < 0) return result;
      consumed_ += frames * kAudioChannels;
      pendingTime_ += static_cast<int64_t>(frames) * 10'000'000 / static_cast<int64_t>(kAudioSampleRate);
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
    if (draining_ && pending_.empty() && !flushSent_) {
      const int result = avcodec_send_frame(context_, nullptr);
      if (result == AVERROR(EAGAIN)) return 0;
      if (result < 0 && result != AVERROR_EOF) return result;
      flushSent_ = true;
    }
    return 0;
  }

  int SendFrame(const int16_t* samples, size_t frames) {
    av_frame_unref(frame_);
    frame_->format = AV_SAMPLE_FMT_FLTP;
    frame_->sample_rate = static_cast<int>(kAudioSampleRate);
    frame_->nb_samples = static_cast<int>(frames);
    int result = av_channel_layout_copy(&frame_->ch_layout, &context_->ch_layout);
    if (result >= 0) result = av_frame_get_buffer(frame_, 0);
    if (result < 0) return result;
    auto* left = reinterpret_cast<float*>(frame_->data[0]);
    auto* right = reinterpret_cast<float*>(frame_->data[1]);
    for (size_t i = 0; i < frames; ++i) {
      left[i] = static_cast<float>(samples[i * 2]) / 32768.0f;
      right[i] = static_cast<float>(samples[i * 2 + 1]) / 32768.0f;
    }
    frame_->pts = pendingTime_;
    return avcodec_send_frame(context_, frame_);
  }

  std::vector<int16_t> pending_;  // interleaved frames not yet handed over
  size_t consumed_ = 0;           // samples of pending_ already handed over
  int64_t pendingTime_ = 0;       // time of the first frame not handed over
  bool draining_ = false;
  bool flushSent_ = false;
  const AVCodec* codec_;
  AVCodecContext* context_;
  AVFrame* frame_;
  AVPacket* packet_;
  bool inputSet_ = false;
  bool opened_ = false;
};

}  // namespace

std::unique_ptr<AacCodec> CreatePlatformAacCodec(uint32_t* failureCode) {
  // The library's own chatter (statistics at close) would interleave with
  // the program's log on standard error; only its errors are kept, as lines
  // of that log.
  RouteFfmpegLog();
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (codec == nullptr) {
    *failureCode = kClassNotRegistered;
    return nullptr;
  }
  AVCodecContext* context = avcodec_alloc_context3(codec);
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  if (context == nullptr || frame == nullptr || packet == nullptr) {
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    *failureCode = kOutOfMemory;
    return nullptr;
  }
  return std::make_unique<FfmpegAacCodec>(codec, context, frame, packet);
}

}  // namespace kp
