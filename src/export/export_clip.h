// One export: the job's source clip decoded, cut to the kept segments,
// cropped, overlaid, re-encoded with the user's encoder settings, its audio
// tracks re-encoded, and written as a new MP4. Runs on the calling thread;
// progress goes from 0 to 0.85 during video, to 0.92 during audio and to 1
// while the file is written. The output appears only when everything
// succeeded; the input is never overwritten.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "audio/aac_codec.h"
#include "engine/pipeline_config.h"
#include "export/export_job.h"
#include "export/export_media.h"
#include "export/export_result.h"
#include "platform/file_identity.h"
#include "platform/files.h"
#include "video/encoder_choice.h"
#include "video/video_encoder.h"

namespace kp {

using VideoEncoderFactory =
    std::function<std::unique_ptr<VideoEncoder>(EncoderChoice, GpuDevice*, GpuTexture*, const EncoderConfig&)>;
using FileIdentifier = std::function<std::optional<FileIdentity>(const std::wstring&)>;

// The seams an export runs through; the defaults are the platform's.
struct ExportEnvironment {
  ExportMedia* media = nullptr;  // required
  Files* files = &SystemFiles();
  FileIdentifier identify = IdentifyFile;
  VideoEncoderFactory createEncoder;  // empty: CreateVideoEncoder
  AacCodecFactory aacCodec = CreatePlatformAacCodec;
};

// The encoder settings of an export: the output size and source frame rate
// with the user's rate control, quality, bit rate and preset; offline.
EncoderConfig MakeExportEncoderConfig(const PipelineConfig& config, uint32_t width, uint32_t height, uint32_t fps);

ExportResult ExportClip(const ExportJob& job, const PipelineConfig& config, const std::atomic<bool>& cancel,
                        const std::function<void(double)>& progress, const ExportEnvironment& environment);

// The same on the platform's media system.
ExportResult ExportClip(const ExportJob& job, const PipelineConfig& config, const std::atomic<bool>& cancel,
                        const std::function<void(double)>& progress);

}  // namespace kp
