// `Kaptora record <seconds> <out.mp4>`: records the screen for a fixed time
// straight into an MP4 file and prints the pipeline's statistics.
#pragma once

#include <cstdint>
#include <string>

namespace kp {

// The record's end: start + seconds in ticks, truncated; the largest time
// when that would overflow (the command line refuses such seconds).
int64_t RecordEndTime(int64_t start, double seconds);

// Records until the end time or an interrupt (see record_interrupt.h), the
// stream spilled to "<output>.video.tmp" (deleted on close), then writes the
// MP4 through "<output>.part". 0 when the file was written, 1 otherwise.
int RunRecord(const std::wstring& settingsPath, double seconds, const std::wstring& outputPath);

}  // namespace kp
