#include "video/nvenc_config.h"

#include <algorithm>

#include "app/log.h"
#include "video/h264_annexb.h"

namespace kp {

uint32_t NvencPresetLevel(uint32_t preset) { return std::clamp<uint32_t>(preset, 1, 7); }

const nvenc::Guid& NvencPresetGuid(uint32_t preset) { return nvenc::kPresetGuids[NvencPresetLevel(preset) - 1]; }

bool CheckNvencDriverVersion(uint32_t reported) {
  if (reported >= nvenc::kMinDriverVersion) return true;
  Log("nvenc: driver supports API %u.%u but %u.%u is required \xE2\x80\x94 update the NVIDIA driver", reported / 16,
      reported % 16, nvenc::kApiMajor, nvenc::kApiMinor);
  return false;
}

bool CheckNvencSize(const EncoderConfig& settings, int32_t maxWidth, int32_t maxHeight) {
  if (maxWidth > 0 && maxHeight > 0 && settings.width <= static_cast<uint32_t>(maxWidth) &&
      settings.height <= static_cast<uint32_t>(maxHeight)) {
    return true;
  }
  Log("nvenc: %ux%u is above this GPU's limit of %dx%d", settings.width, settings.height, static_cast<int>(maxWidth),
      static_cast<int>(maxHeight));
  return false;
}

void ApplyNvencSettings(nvenc::Config& config, const EncoderConfig& settings) {
  const uint32_t gopLength = settings.fps * settings.keyframeSeconds;
  config.version = nvenc::kConfigVersion;
  config.profileGuid = nvenc::kH264ProfileHighGuid;
  config.gopLength = gopLength;
  config.frameIntervalP = 1;

  nvenc::RcParams& rc = config.rcParams;
  rc.rateControlMode = nvenc::kRateControlVbr;
  if (settings.rateControl == RateControl::Vbr) {
    rc.averageBitRate = settings.averageBitrate;
  } else {
    rc.averageBitRate = 0;
    rc.targetQuality = static_cast<uint8_t>(std::min<uint32_t>(settings.quality, 51));
    rc.targetQualityLsb = 0;
  }
  rc.maxBitRate = settings.maxBitrate;
  rc.flags = (rc.flags | nvenc::kRcFlagEnableAq) & ~nvenc::kRcFlagEnableLookahead;
  rc.lookaheadDepth = 0;

  nvenc::H264Config& h264 = config.h264;
  h264.flags |= nvenc::kH264FlagRepeatSpsPps;
  h264.idrPeriod = gopLength;
  h264.chromaFormatIdc = nvenc::kChromaFormat420;

  // Limited range stays as the preset has it; only the colour description
  // is ours.
  nvenc::VuiParameters& vui = h264.vui;
  vui.videoSignalTypePresentFlag = 1;
  vui.videoFormat = nvenc::kVideoFormatUnspecified;
  vui.colourDescriptionPresentFlag = 1;
  vui.colourPrimaries = nvenc::kColourBt709;
  vui.transferCharacteristics = nvenc::kColourBt709;
  vui.colourMatrix = nvenc::kColourBt709;
}

nvenc::InitializeParams MakeNvencInitializeParams(const EncoderConfig& settings, nvenc::Config* config) {
  auto params = nvenc::Zeroed<nvenc::InitializeParams>();
  params.version = nvenc::kInitializeParamsVersion;
  params.encodeGuid = nvenc::kCodecH264Guid;
  params.presetGuid = NvencPresetGuid(settings.preset);
  params.encodeWidth = settings.width;
  params.encodeHeight = settings.height;
  params.darWidth = settings.width;
  params.darHeight = settings.height;
  params.frameRateNum = settings.fps;
  params.frameRateDen = 1;
  params.enableEncodeAsync = 0;
  params.enablePtd = 1;
  params.tuningInfo = nvenc::kTuningHighQuality;
  params.encodeConfig = config;
  return params;
}

nvenc::RegisterResource MakeNvencRegisterResource(const EncoderConfig& settings, void* texture) {
  auto params = nvenc::Zeroed<nvenc::RegisterResource>();
  params.version = nvenc::kRegisterResourceVersion;
  params.resourceType = nvenc::kInputResourceTypeDirectX;
  params.width = settings.width;
  params.height = settings.height;
  params.pitch = 0;
  params.subResourceIndex = 0;
  params.resourceToRegister = texture;
  params.bufferFormat = nvenc::kBufferFormatNv12;
  params.bufferUsage = nvenc::kBufferUsageInputImage;
  return params;
}

nvenc::PicParams MakeNvencPicParams(const EncoderConfig& settings, void* mappedResource, uint32_t mappedFormat,
                                    void* bitstream, int64_t pts, int64_t duration, bool forceKeyframe) {
  auto params = nvenc::Zeroed<nvenc::PicParams>();
  params.version = nvenc::kPicParamsVersion;
  params.inputWidth = settings.width;
  params.inputHeight = settings.height;
  params.inputPitch = settings.width;
  params.encodePicFlags = forceKeyframe ? nvenc::kPicFlagForceIdr | nvenc::kPicFlagOutputSpsPps : 0;
  // The driver carries the time stamp through as an opaque 64-bit value.
  params.inputTimeStamp = static_cast<uint64_t>(pts);
  params.inputDuration = static_cast<uint64_t>(duration);
  params.inputBuffer = mappedResource;
  params.outputBitstream = bitstream;
  params.bufferFmt = mappedFormat;
  params.pictureStruct = nvenc::kPicStructFrame;
  return params;
}

nvenc::PicParams MakeNvencEndOfStreamParams() {
  auto params = nvenc::Zeroed<nvenc::PicParams>();
  params.version = nvenc::kPicParamsVersion;
  params.encodePicFlags = nvenc::kPicFlagEos;
  return params;
}

bool StoreNvencParameterSets(std::span<const uint8_t> header, VideoTrackInfo& track) {
  for (std::span<const uint8_t> unit : SplitAnnexB(header)) {
    const uint8_t type = NalType(unit);
    if (type == kNalSps) track.sps.assign(unit.begin(), unit.end());
    if (type == kNalPps) track.pps.assign(unit.begin(), unit.end());
  }
  if (track.sps.size() < 4 || track.pps.empty()) {
    Log("nvenc: SPS/PPS missing from sequence params");
    return false;
  }
  return true;
}

EncodedPacket MakeNvencPacket(const nvenc::LockBitstream& lock, int64_t duration) {
  EncodedPacket packet;
  packet.pts = static_cast<int64_t>(lock.outputTimeStamp);
  packet.duration = duration;
  packet.keyframe = lock.pictureType == nvenc::kPictureTypeIdr;
  if (lock.bitstreamBufferPtr != nullptr) {
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(lock.bitstreamBufferPtr),
                                         lock.bitstreamSizeInBytes);
    AppendLengthPrefixed(bytes, packet.data);
  }
  return packet;
}

void LogNvencOpened(const EncoderConfig& settings) {
  if (settings.rateControl == RateControl::Vbr) {
    Log("nvenc: H.264 %ux%u@%u P%d, %.1f Mbps VBR (max %.1f), keyframe every %us", settings.width, settings.height,
        settings.fps, static_cast<int>(settings.preset), settings.averageBitrate / 1e6, settings.maxBitrate / 1e6,
        settings.keyframeSeconds);
  } else {
    Log("nvenc: H.264 %ux%u@%u P%d, constant quality CQ %u (max %.1f Mbps), keyframe every %us", settings.width,
        settings.height, settings.fps, static_cast<int>(settings.preset), settings.quality, settings.maxBitrate / 1e6,
        settings.keyframeSeconds);
  }
}

}  // namespace kp
