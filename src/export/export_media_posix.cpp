// The Linux build's export media: libavformat/libavcodec readers and the CPU
// edit frame processor.
#include "export/ffmpeg_export_media.h"

namespace kp {

std::unique_ptr<ExportMedia> CreatePlatformExportMedia() { return std::make_unique<FfmpegExportMedia>(); }

}  // namespace kp
