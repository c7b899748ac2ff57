#include "engine/pipeline_config.h"

#include "app/log.h"

namespace kp {

namespace {

struct QualityLevel {
  const char* name;
  int32_t quality;
  int32_t maxBitrateFactor;
};

constexpr QualityLevel kQualityLevels[] = {
    {"low", 30, 6},
    {"medium", 26, 10},
    {"high", 23, 16},
    {"ultra", 19, 25},
};

}  // namespace

PipelineConfig MakePipelineConfig(const Settings& settings) {
  PipelineConfig config;
  config.monitor = settings.monitor;
  config.fps = settings.fps;
  config.height = settings.resolution;
  config.showCursor = settings.showCursor;
  if (settings.encoder == "nvenc") {
    config.encoder = 1;
  } else if (settings.encoder == "hardware") {
    config.encoder = 2;
  }
  if (settings.rateControl == "bitrate") {
    config.rateControl = 1;
    config.bitrate = settings.bitrateMbps * 1'000'000;
  } else {
    for (const QualityLevel& level : kQualityLevels) {
      if (settings.quality == level.name) {
        config.quality = level.quality;
        config.maxBitrateFactor = level.maxBitrateFactor;
        break;
      }
    }
  }
  if (settings.encoderPreset == "performance") {
    config.preset = 2;
  } else if (settings.encoderPreset == "quality") {
    config.preset = 6;
  }
  if (settings.codec != "h264") {
    Log("pipeline: codec '%s' not supported yet, using h264", settings.codec.c_str());
  }
  return config;
}

OutputSize ComputeOutputSize(int32_t desktopWidth, int32_t desktopHeight, int32_t lines) {
  if (desktopWidth < 2 || desktopHeight < 2) return {};
  const int64_t w = desktopWidth;
  const int64_t h = desktopHeight;
  OutputSize size;
  if (lines <= 0 || lines >= h) {
    size.width = static_cast<uint32_t>(w & ~int64_t{1});
    size.height = static_cast<uint32_t>(h & ~int64_t{1});
  } else {
    const int64_t outHeight = lines & ~int64_t{1};
    const int64_t outWidth = ((outHeight * w + h / 2) / h) & ~int64_t{1};
    if (outHeight == 0 || outWidth == 0) return {};
    size.width = static_cast<uint32_t>(outWidth);
    size.height = static_cast<uint32_t>(outHeight);
  }
  return size;
}

OutputSize LimitOutputSize(OutputSize size) {
  const int64_t w = size.width;
  const int64_t h = size.height;
  const int64_t limit = kEncoderSizeLimit;
  if (w <= limit && h <= limit) return size;
  if (w >= h) return {kEncoderSizeLimit, static_cast<uint32_t>(((h * limit + w / 2) / w) & ~int64_t{1})};
  return {static_cast<uint32_t>(((w * limit + h / 2) / h) & ~int64_t{1}), kEncoderSizeLimit};
}

EncoderConfig MakeEncoderConfig(const PipelineConfig& config, OutputSize size) {
  EncoderConfig e;
  e.width = size.width;
  e.height = size.height;
  e.fps = static_cast<uint32_t>(config.fps);
  e.rateControl = config.rateControl == 1 ? RateControl::Vbr : RateControl::ConstantQuality;
  e.quality = static_cast<uint32_t>(config.quality);
  e.averageBitrate = static_cast<uint32_t>(config.bitrate);
  if (e.rateControl == RateControl::Vbr) {
    e.maxBitrate = 0;
  } else {
    const int64_t pixelRate = int64_t{size.width} * size.height * config.fps;
    e.maxBitrate = static_cast<uint32_t>(config.maxBitrateFactor * pixelRate / 100);
  }
  e.preset = static_cast<uint32_t>(config.preset);
  e.keyframeSeconds = 2;
  e.realtime = 1;
  e.failStalls = config.failStalledEncoder ? 1 : 0;
  return e;
}

}  // namespace kp
