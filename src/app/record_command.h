// `Kaptora record <seconds> <out.mp4>`: records the screen for a fixed time
// straight into an MP4 file and prints the pipeline's statistics.
#pragma once

#include <string>

namespace kp {

// 0 when the file was written, 1 otherwise.
int RunRecord(const std::wstring& settingsPath, double seconds, const std::wstring& outputPath);

}  // namespace kp
