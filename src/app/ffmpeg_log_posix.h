// FFmpeg's messages are process-wide. Once routed, its errors become lines
// of this program's log ("ffmpeg: <text>"), with the log's time stamps and in
// its file, instead of raw text on standard error; anything below error
// level (statistics, notes) is dropped. Any thread, any number of calls.
#pragma once

namespace kp {

void RouteFfmpegLog();

}  // namespace kp
