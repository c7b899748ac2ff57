// libFuzzer target for the export job reader. Any input must either be
// rejected with a reason or give a job that keeps the reader's promises:
// both paths set, every keep range and overlay window 0 <= start < end, and
// every overlay with an image.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "export/export_job.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kp::ExportJob job;
  std::string error;
  if (!kp::ParseExportJobText(std::string_view(reinterpret_cast<const char*>(data), size), job, &error)) {
    if (error.empty()) {
      std::fprintf(stderr, "rejected job without an error text\n");
      std::abort();
    }
    return 0;
  }
  bool ok = !job.input.empty() && !job.output.empty();
  for (const kp::KeepRange& r : job.keep) ok = ok && r.start >= 0 && r.end > r.start;
  for (const kp::OverlaySpec& o : job.overlays) ok = ok && !o.image.empty() && o.start >= 0 && o.end > o.start;
  if (!job.crop.enabled) ok = ok && job.crop.x == 0 && job.crop.y == 0 && job.crop.width == 0 && job.crop.height == 0;
  if (!ok) {
    std::fprintf(stderr, "accepted job breaks the reader's promises\n");
    std::abort();
  }
  return 0;
}
