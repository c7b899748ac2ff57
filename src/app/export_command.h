// `Kaptora export <job.json>`: re-encodes a clip as an export job describes.
#pragma once

#include <string>

namespace kp {

// 0 on success, 1 for a failed or cancelled export, 2 for an unreadable job.
int RunExport(const std::wstring& settingsPath, const std::wstring& jobPath);

}  // namespace kp
