// The export job: which clip to re-encode into which file, the parts of its
// time line to keep, an optional crop and timed image overlays, read from a
// small JSON file. The reader is lenient per field (a member of the wrong
// type counts as missing) and strict only about the two paths; checking the
// values against the actual video is the export pipeline's business.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kp {

struct CropRect {
  bool enabled = false;  // the job has a "crop" object
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
};

// 100-ns ticks on the source clip's time line; 0 <= start < end.
struct KeepRange {
  int64_t start = 0;
  int64_t end = 0;
};

// An image drawn at (x, y) over frames whose source time t has
// start <= t < end. The image path is never empty.
struct OverlaySpec {
  std::wstring image;
  int32_t x = 0;
  int32_t y = 0;
  int64_t start = 0;
  int64_t end = 0;
};

struct ExportJob {
  std::wstring input;
  std::wstring output;
  CropRect crop;
  std::vector<KeepRange> keep;          // in file order
  std::vector<OverlaySpec> overlays;    // in file order
};

// Reads the job file at `path` (UTF-8 JSON, optional byte order mark). False
// with a reason in `*error`: "cannot open job file", the JSON reader's own
// message with its offset, "job root is not an object", or "input and output
// are required". After a failure `job` is partly filled and not to be used.
bool ParseExportJob(const std::wstring& path, ExportJob& job, std::string* error = nullptr);

// The same over the file's bytes.
bool ParseExportJobText(std::string_view bytes, ExportJob& job, std::string* error = nullptr);

// Seconds as a job writes them to ticks: round half away from zero of a
// non-negative number; -1 for anything else (missing, not a number,
// negative, or too large for the tick count).
int64_t JobSecondsToTicks(double seconds);

}  // namespace kp
