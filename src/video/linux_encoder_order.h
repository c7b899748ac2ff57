// How the Linux build picks its H.264 encoder: which encoders a choice
// tries, in which order, and the x264 rate settings of an EncoderConfig.
// Portable, so the rules are tested without any encoder present.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "video/encoder_choice.h"
#include "video/video_encoder.h"

namespace kp {

enum class LinuxEncoderKind : int32_t {
  Vaapi = 0,  // the GPU's encoder through a DRM render node
  Nvenc = 1,  // NVIDIA's encoder through its driver
  X264 = 2,   // software; always there when FFmpeg was built with it
};

// "auto": VAAPI, then NVENC, then x264. "nvenc": NVENC only. "hardware"
// (any other stored value): VAAPI only.
std::vector<LinuxEncoderKind> LinuxEncoderOrder(EncoderChoice choice);

// "VAAPI", "NVENC", "x264": the words of the fallback log line.
const char* LinuxEncoderLabel(LinuxEncoderKind kind);

// x264's rate control for a live-pipeline config. Quality mode: constant
// rate factor = the config's quality, capped at its maximum bit rate with a
// one-second buffer. Bitrate mode: the average bit rate as both target and
// cap, one-second buffer. The speed preset follows the config's 1..7 level:
// up to 2 "ultrafast", up to 4 "superfast", above "veryfast".
struct X264RateSettings {
  int32_t crf = -1;        // -1: bitrate mode
  int64_t bitRate = 0;     // bit/s target (bitrate mode), 0 otherwise
  int64_t maxRate = 0;     // bit/s cap
  int64_t bufferSize = 0;  // bits: one second at the cap
  const char* preset = "superfast";
};
X264RateSettings X264RateSettingsFor(const EncoderConfig& config);

using LinuxEncoderMaker = std::function<std::unique_ptr<VideoEncoder>(LinuxEncoderKind)>;

// Opens the first encoder of `order` whose Initialize(device, input, config)
// succeeds; a null from `make` counts as a failure. Between candidates it
// logs "encoder: <label> unavailable, trying <next label>", then "encoder:
// <name>" for the one that opened, or "encoder: no usable H.264 encoder on
// this GPU" and null.
std::unique_ptr<VideoEncoder> OpenFirstEncoder(const std::vector<LinuxEncoderKind>& order, GpuDevice* device,
                                               GpuTexture* input, const EncoderConfig& config,
                                               const LinuxEncoderMaker& make);

}  // namespace kp
