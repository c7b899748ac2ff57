// The video settings in the form the capture pipeline, the record command and
// the export use, and the two sizes/records derived from them when a pipeline
// is built: the encoded output size and the encoder's settings record.
#pragma once

#include <cstdint>
#include <string>

#include "config/settings.h"
#include "video/video_encoder.h"

namespace kp {

struct PipelineConfig {
  std::wstring monitor = L"primary";  // meaning belongs to the capture
  int32_t fps = 60;
  int32_t height = 0;                 // output line count; 0 = the monitor's own size
  bool showCursor = true;
  int32_t encoder = 0;                // EncoderChoice: 0 auto, 1 nvenc, 2 hardware
  int32_t rateControl = 0;            // RateControl: 0 constant quality, 1 bitrate
  int32_t quality = 23;               // constant-quality value (quality mode)
  int32_t bitrate = 0;                // bit/s (bitrate mode)
  int32_t maxBitrateFactor = 16;      // peak bit rate in 1/100 bit per pixel (quality mode)
  int32_t preset = 4;                 // 2 performance, 4 balanced, 6 quality
  // Not a setting: the engine's live capture, whose Media Foundation encoder
  // is failed when it stops asking for input (see EncoderConfig::failStalls).
  bool failStalledEncoder = false;

  bool operator==(const PipelineConfig&) const = default;
};

// Maps the user's video settings. H.264 is the only codec: any other codec
// setting is logged and H.264 is used.
PipelineConfig MakePipelineConfig(const Settings& settings);

struct OutputSize {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const OutputSize&) const = default;
};

// The encoded size for a desktop of `desktopWidth` x `desktopHeight` and a
// requested line count: the desktop's own size when `lines` is 0 or not below
// the desktop's height, otherwise `lines` lines at the desktop's aspect ratio
// (rounded to nearest). Both results are rounded down to even. A zero size
// (empty desktop, or a request below 2 lines) means "no usable size".
OutputSize ComputeOutputSize(int32_t desktopWidth, int32_t desktopHeight, int32_t lines);

// H.264 hardware encoders take at most this many pixels in each dimension.
inline constexpr uint32_t kEncoderSizeLimit = 4096;

// `size` scaled down, keeping its aspect ratio, until neither dimension is
// above kEncoderSizeLimit (the other rounded to nearest, then down to even):
// 5120x1440 becomes 4096x1152. A size within the limit is kept.
OutputSize LimitOutputSize(OutputSize size);

// The encoder settings for one pipeline build at the given output size:
// constant quality with a peak of factor x pixels x fps / 100, or VBR with the
// configured average (peak derived by the encoder); keyframes every 2 s; live
// (stalls failed for the engine's run).
EncoderConfig MakeEncoderConfig(const PipelineConfig& config, OutputSize size);

}  // namespace kp
