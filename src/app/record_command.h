// `Kaptora record <seconds> <out.mp4>`: records the screen for a fixed time
// straight into an MP4 file and prints the pipeline's statistics.
#pragma once

#include <cstdint>
#include <string>

namespace kp {

// The record's end: start + seconds in ticks, truncated; the largest time
// when that would overflow, so a huge or infinite seconds value records
// until stopped instead of ending at once.
int64_t RecordEndTime(int64_t start, double seconds);

// 0 when the file was written, 1 otherwise.
int RunRecord(const std::wstring& settingsPath, double seconds, const std::wstring& outputPath);

}  // namespace kp
