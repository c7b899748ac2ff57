// The outcome of one export and its word in the export command's protocol.
#pragma once

#include <cstdint>

namespace kp {

enum class ExportResult : int32_t {
  Ok = 0,        // the output file was written
  Canceled = 1,  // the cancel flag was seen
  Input = 2,     // same file as the output, unreadable, or nothing to keep
  Encoder = 3,   // no GPU could decode, process and encode the video
  Failed = 4,    // media system, decoding, processing, overlay or encoding
  Write = 5,     // writing the temporary file or the output failed
};

// "ok", "canceled", "input", "encoder", "write"; "failed" for anything else.
inline const char* ExportResultText(ExportResult result) {
  switch (result) {
    case ExportResult::Ok: return "ok";
    case ExportResult::Canceled: return "canceled";
    case ExportResult::Input: return "input";
    case ExportResult::Encoder: return "encoder";
    case ExportResult::Write: return "write";
    default: return "failed";
  }
}

}  // namespace kp
