#include "video/linux_encoder_order.h"

#include "app/log.h"

namespace kp {

std::vector<LinuxEncoderKind> LinuxEncoderOrder(EncoderChoice choice) {
  switch (choice) {
    case EncoderChoice::Auto: return {LinuxEncoderKind::Vaapi, LinuxEncoderKind::Nvenc, LinuxEncoderKind::X264};
    case EncoderChoice::Nvenc: return {LinuxEncoderKind::Nvenc};
    case EncoderChoice::MediaFoundation: break;
  }
  return {LinuxEncoderKind::Vaapi};
}

const char* LinuxEncoderLabel(LinuxEncoderKind kind) {
  switch (kind) {
    case LinuxEncoderKind::Vaapi: return "VAAPI";
    case LinuxEncoderKind::Nvenc: return "NVENC";
    case LinuxEncoderKind::X264: return "x264";
  }
  return "?";
}

X264RateSettings X264RateSettingsFor(const EncoderConfig& config) {
  EncoderConfig c = config;
  DeriveBitrates(c);
  X264RateSettings s;
  if (c.rateControl == RateControl::ConstantQuality) {
    s.crf = static_cast<int32_t>(c.quality);
    s.maxRate = c.maxBitrate;
  } else {
    s.bitRate = c.averageBitrate;
    s.maxRate = c.averageBitrate;
  }
  s.bufferSize = s.maxRate;
  s.preset = c.preset <= 2 ? "ultrafast" : c.preset <= 4 ? "superfast" : "veryfast";
  return s;
}

std::unique_ptr<VideoEncoder> OpenFirstEncoder(const std::vector<LinuxEncoderKind>& order, GpuDevice* device,
                                               GpuTexture* input, const EncoderConfig& config,
                                               const LinuxEncoderMaker& make) {
  for (size_t i = 0; i < order.size(); ++i) {
    std::unique_ptr<VideoEncoder> encoder = make(order[i]);
    if (encoder && encoder->Initialize(device, input, config)) {
      Log("encoder: %s", encoder->Name().c_str());
      return encoder;
    }
    if (i + 1 < order.size()) {
      Log("encoder: %s unavailable, trying %s", LinuxEncoderLabel(order[i]), LinuxEncoderLabel(order[i + 1]));
    }
  }
  Log("encoder: no usable H.264 encoder on this GPU");
  return nullptr;
}

}  // namespace kp
