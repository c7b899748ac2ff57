#include "video/mf_encoder_settings.h"

#include <algorithm>

#include "app/log.h"
#include "video/h264_annexb.h"

namespace kp {

namespace {

constexpr uint8_t kNalIdrSlice = 5;

// Sets a property whose refusal is reported with `label`.
void SetLogged(MfCodecProperties& codec, MfCodecProperty property, uint32_t value, const char* label) {
  if (!codec.Set(property, value)) Log("mf: encoder doesn't accept %s=%u", label, value);
}

void ApplyVbr(MfCodecProperties& codec, uint32_t meanBitrate, uint32_t maxBitrate) {
  SetLogged(codec, MfCodecProperty::RateControlMode, kMfRateControlPeakConstrainedVbr, "VBR mode");
  SetLogged(codec, MfCodecProperty::MeanBitrate, meanBitrate, "mean bitrate");
  SetLogged(codec, MfCodecProperty::MaxBitrate, maxBitrate, "max bitrate");
}

}  // namespace

uint32_t MfQpForQuality(uint32_t quality) { return std::max<uint32_t>(quality, 13) - 3; }

uint32_t MfCommonQualityForQuality(uint32_t quality) {
  const int64_t scaled = (51 - static_cast<int64_t>(quality)) * 100 / 51;
  return static_cast<uint32_t>(std::clamp<int64_t>(scaled, 1, 100));
}

bool ApplyMfCodecProperties(MfCodecProperties& codec, const EncoderConfig& config) {
  SetLogged(codec, MfCodecProperty::GopSize, config.keyframeSeconds * config.fps, "GOP size");
  SetLogged(codec, MfCodecProperty::BFrameCount, 0, "B-frames");
  codec.Set(MfCodecProperty::LowLatency, 1);  // a refusal changes nothing we rely on

  if (config.rateControl == RateControl::Vbr) {
    ApplyVbr(codec, config.averageBitrate, config.maxBitrate);
    return false;
  }
  if (!codec.Set(MfCodecProperty::RateControlMode, kMfRateControlQuality)) {
    Log("mf: constant-quality mode not supported, using peak-constrained VBR");
    ApplyVbr(codec, config.maxBitrate / 2, config.maxBitrate);
    return false;
  }
  const bool qpAccepted = codec.Set(MfCodecProperty::EncodeQp, MfQpForQuality(config.quality));
  if (!qpAccepted) {
    SetLogged(codec, MfCodecProperty::CommonQuality, MfCommonQualityForQuality(config.quality), "quality");
  }
  SetLogged(codec, MfCodecProperty::MaxBitrate, config.maxBitrate, "max bitrate");
  return qpAccepted;
}

uint32_t MfOutputTypeBitrate(const EncoderConfig& config) {
  return config.rateControl == RateControl::Vbr ? config.averageBitrate : config.maxBitrate / 2;
}

void LogMfEncoderOpened(const std::string& name, const EncoderConfig& config, bool qpAccepted, bool async) {
  const char* mode = async ? "async" : "sync";
  if (config.rateControl == RateControl::Vbr) {
    Log("mf: %s, H.264 %ux%u@%u, %.1f Mbps VBR (max %.1f), %s", name.c_str(), config.width, config.height,
        config.fps, config.averageBitrate / 1e6, config.maxBitrate / 1e6, mode);
  } else {
    Log("mf: %s, H.264 %ux%u@%u, quality mode %s %u (max %.1f Mbps), %s", name.c_str(), config.width,
        config.height, config.fps, qpAccepted ? "QP" : "CQ",
        qpAccepted ? MfQpForQuality(config.quality) : config.quality, config.maxBitrate / 1e6, mode);
  }
}

EncodedPacket MakeMfPacket(const MfOutputSample& sample, int64_t frameDuration, VideoTrackInfo& track) {
  EncodedPacket packet;
  packet.pts = sample.hasTime ? sample.time : 0;
  packet.duration = sample.hasDuration && sample.duration >= 1 ? sample.duration : frameDuration;
  packet.keyframe = sample.cleanPoint;
  bool takeSps = track.sps.empty();
  bool takePps = track.pps.empty();
  for (std::span<const uint8_t> unit : SplitAnnexB(sample.data)) {
    const uint8_t type = NalType(unit);
    if (type == kNalIdrSlice) {
      packet.keyframe = true;
    } else if (type == kNalSps && takeSps) {
      track.sps.assign(unit.begin(), unit.end());
      takeSps = false;
    } else if (type == kNalPps && takePps) {
      track.pps.assign(unit.begin(), unit.end());
      takePps = false;
    }
  }
  AppendLengthPrefixed(sample.data, packet.data);
  return packet;
}

void StoreSequenceHeader(std::span<const uint8_t> header, VideoTrackInfo& track) {
  for (std::span<const uint8_t> unit : SplitAnnexB(header)) {
    const uint8_t type = NalType(unit);
    if (type == kNalSps) track.sps.assign(unit.begin(), unit.end());
    if (type == kNalPps) track.pps.assign(unit.begin(), unit.end());
  }
}

}  // namespace kp
