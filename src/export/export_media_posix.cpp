// UNFINISHED: this build has no clip reader and edit frame processor yet,
// so exports fail visibly as an unreadable input.
#include "export/unavailable_export_media.h"

namespace kp {

std::unique_ptr<ExportMedia> CreatePlatformExportMedia() { return std::make_unique<UnavailableExportMedia>(); }

}  // namespace kp
