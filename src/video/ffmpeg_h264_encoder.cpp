#include "video/ffmpeg_h264_encoder.h"

#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <span>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "app/ffmpeg_log_posix.h"
#include "app/log.h"
#include "video/h264_annexb.h"

namespace kp {

namespace {

const char* CodecName(LinuxEncoderKind kind) {
  switch (kind) {
    case LinuxEncoderKind::Vaapi: return "h264_vaapi";
    case LinuxEncoderKind::Nvenc: return "h264_nvenc";
    case LinuxEncoderKind::X264: return "libx264";
  }
  return "";
}

// The first DRM render node, or empty when the machine has none.
std::string FirstRenderNode() {
  for (int i = 128; i < 136; ++i) {
    std::string path = "/dev/dri/renderD" + std::to_string(i);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return path;
  }
  return {};
}

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace

FfmpegH264Encoder::FfmpegH264Encoder(LinuxEncoderKind kind) : kind_(kind) {}

FfmpegH264Encoder::~FfmpegH264Encoder() {
  av_packet_free(&packet_);
  av_frame_free(&hwFrame_);
  av_frame_free(&frame_);
  avcodec_free_context(&context_);
  av_buffer_unref(&hwDevice_);
}

bool FfmpegH264Encoder::Initialize(GpuDevice* /*device*/, GpuTexture* input, const EncoderConfig& config) {
  config_ = config;
  DeriveBitrates(config_);
  input_ = reinterpret_cast<const Nv12Frame*>(input);
  if (input_ == nullptr || input_->width != config_.width || input_->height != config_.height) return false;
  if (kind_ == LinuxEncoderKind::Vaapi) {
    renderNode_ = FirstRenderNode();
    if (renderNode_.empty()) {
      Log("encoder: VAAPI has no render node in /dev/dri");
      return false;
    }
  }
  // FFmpeg's own notes would flood the log; its errors (why a library or a
  // device could not be loaded) join the failure lines logged here.
  RouteFfmpegLog();
  const AVCodec* codec = avcodec_find_encoder_by_name(CodecName(kind_));
  if (codec == nullptr) {
    Log("encoder: %s is not in this FFmpeg build", CodecName(kind_));
    return false;
  }
  context_ = avcodec_alloc_context3(codec);
  frame_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  if (context_ == nullptr || frame_ == nullptr || packet_ == nullptr) return false;

  const int fps = static_cast<int>(config_.fps == 0 ? 60 : config_.fps);
  context_->width = static_cast<int>(config_.width);
  context_->height = static_cast<int>(config_.height);
  // Frames are numbered in a 1/fps time base; the real time stamps travel
  // beside them in pending_.
  context_->time_base = AVRational{1, fps};
  context_->framerate = AVRational{fps, 1};
  context_->gop_size = fps * static_cast<int>(config_.keyframeSeconds == 0 ? 2 : config_.keyframeSeconds);
  context_->max_b_frames = 0;
  context_->pix_fmt = AV_PIX_FMT_NV12;
  context_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  context_->color_primaries = AVCOL_PRI_BT709;
  context_->color_trc = AVCOL_TRC_BT709;
  context_->colorspace = AVCOL_SPC_BT709;
  context_->color_range = AVCOL_RANGE_MPEG;

  const bool quality = config_.rateControl == RateControl::ConstantQuality;
  const std::string presetLevel = std::to_string(config_.preset < 1 ? 1 : config_.preset > 7 ? 7 : config_.preset);
  switch (kind_) {
    case LinuxEncoderKind::X264: {
      const X264RateSettings rate = X264RateSettingsFor(config);
      av_opt_set(context_->priv_data, "preset", rate.preset, 0);
      av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
      if (rate.crf >= 0) av_opt_set(context_->priv_data, "crf", std::to_string(rate.crf).c_str(), 0);
      context_->bit_rate = rate.bitRate;
      context_->rc_max_rate = rate.maxRate;
      context_->rc_buffer_size = static_cast<int>(rate.bufferSize);
      break;
    }
    case LinuxEncoderKind::Nvenc:
      // The nearest to the Windows NVENC session: P1..P7, low-latency
      // tuning, VBR capped at the maximum rate, constant quality as cq.
      av_opt_set(context_->priv_data, "preset", ("p" + presetLevel).c_str(), 0);
      av_opt_set(context_->priv_data, "tune", "ll", 0);
      av_opt_set(context_->priv_data, "rc", "vbr", 0);
      av_opt_set(context_->priv_data, "zerolatency", "1", 0);
      if (quality) av_opt_set(context_->priv_data, "cq", std::to_string(config_.quality).c_str(), 0);
      context_->bit_rate = quality ? 0 : config_.averageBitrate;
      context_->rc_max_rate = config_.maxBitrate;
      context_->rc_buffer_size = static_cast<int>(config_.maxBitrate);
      break;
    case LinuxEncoderKind::Vaapi:
      if (!OpenHardwareFrames()) return false;
      if (quality) context_->global_quality = static_cast<int>(config_.quality);
      context_->bit_rate = quality ? 0 : config_.averageBitrate;
      context_->rc_max_rate = config_.maxBitrate;
      context_->rc_buffer_size = static_cast<int>(config_.maxBitrate);
      break;
  }
  if (int error = avcodec_open2(context_, codec, nullptr); error < 0) {
    Log("encoder: %s failed to open (%s)", CodecName(kind_), AvError(error).c_str());
    return false;
  }
  frame_->format = AV_PIX_FMT_NV12;
  frame_->width = context_->width;
  frame_->height = context_->height;

  track_ = VideoTrackInfo{};
  track_.width = config_.width;
  track_.height = config_.height;
  track_.fps = config_.fps;
  if (context_->extradata != nullptr) {
    ExtractParameterSets(std::span<const uint8_t>(context_->extradata, static_cast<size_t>(context_->extradata_size)),
                         track_.sps, track_.pps);
  }
  return true;
}

bool FfmpegH264Encoder::OpenHardwareFrames() {
  if (int error = av_hwdevice_ctx_create(&hwDevice_, AV_HWDEVICE_TYPE_VAAPI, renderNode_.c_str(), nullptr, 0);
      error < 0) {
    Log("encoder: VAAPI device %s failed to open (%s)", renderNode_.c_str(), AvError(error).c_str());
    return false;
  }
  AVBufferRef* frames = av_hwframe_ctx_alloc(hwDevice_);
  if (frames == nullptr) return false;
  auto* framesContext = reinterpret_cast<AVHWFramesContext*>(frames->data);
  framesContext->format = AV_PIX_FMT_VAAPI;
  framesContext->sw_format = AV_PIX_FMT_NV12;
  framesContext->width = context_->width;
  framesContext->height = context_->height;
  framesContext->initial_pool_size = 4;
  if (int error = av_hwframe_ctx_init(frames); error < 0) {
    Log("encoder: VAAPI frames of %dx%d refused (%s)", context_->width, context_->height, AvError(error).c_str());
    av_buffer_unref(&frames);
    return false;
  }
  context_->pix_fmt = AV_PIX_FMT_VAAPI;
  context_->hw_frames_ctx = frames;  // the context owns the reference now
  hwFrame_ = av_frame_alloc();
  return hwFrame_ != nullptr;
}

bool FfmpegH264Encoder::Encode(int64_t pts, int64_t duration, bool forceKeyframe, PacketList& packets) {
  if (context_ == nullptr) return false;
  // The frame points at the caller's planes; nothing is copied for software
  // encoders.
  frame_->data[0] = const_cast<uint8_t*>(input_->Luma(0));
  frame_->data[1] = const_cast<uint8_t*>(input_->Chroma(0));
  frame_->linesize[0] = frame_->linesize[1] = static_cast<int>(input_->width);
  AVFrame* send = frame_;
  if (hwFrame_ != nullptr) {
    av_frame_unref(hwFrame_);
    if (av_hwframe_get_buffer(context_->hw_frames_ctx, hwFrame_, 0) < 0 ||
        av_hwframe_transfer_data(hwFrame_, frame_, 0) < 0) {
      return false;
    }
    send = hwFrame_;
  }
  send->pts = frameIndex_++;
  send->pict_type = forceKeyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  if (int error = avcodec_send_frame(context_, send); error < 0) {
    Log("encoder: %s refused a frame (%s)", CodecName(kind_), AvError(error).c_str());
    return false;
  }
  pending_.emplace_back(pts, duration);
  return Receive(packets);
}

bool FfmpegH264Encoder::Drain(PacketList& packets) {
  if (context_ == nullptr) return false;
  if (avcodec_send_frame(context_, nullptr) < 0) return false;
  return Receive(packets);
}

bool FfmpegH264Encoder::Receive(PacketList& packets) {
  for (;;) {
    int result = avcodec_receive_packet(context_, packet_);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
    if (result < 0) return false;
    auto packet = std::make_shared<EncodedPacket>();
    std::span<const uint8_t> stream(packet_->data, static_cast<size_t>(packet_->size));
    if (!pending_.empty()) {
      packet->pts = pending_.front().first;
      packet->duration = pending_.front().second;
      pending_.pop_front();
    }
    packet->keyframe = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
    if (packet->keyframe) ExtractParameterSets(stream, track_.sps, track_.pps);
    AppendLengthPrefixed(stream, packet->data);
    av_packet_unref(packet_);
    if (!packet->data.empty()) packets.push_back(std::move(packet));
  }
}

std::string FfmpegH264Encoder::Name() const {
  switch (kind_) {
    case LinuxEncoderKind::Vaapi: return "VAAPI H.264 (" + renderNode_ + ")";
    case LinuxEncoderKind::Nvenc: return "NVIDIA NVENC (FFmpeg)";
    case LinuxEncoderKind::X264: return "x264 (software)";
  }
  return "";
}

}  // namespace kp
