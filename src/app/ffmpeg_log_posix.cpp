#include "app/ffmpeg_log_posix.h"

#include <cstdarg>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

#include "app/log.h"

namespace kp {

namespace {

void ToProgramLog(void* context, int level, const char* format, va_list arguments) {
  if (level > av_log_get_level()) return;
  char line[1024];
  int printPrefix = 1;
  av_log_format_line2(context, level, format, arguments, line, sizeof line, &printPrefix);
  size_t length = std::strlen(line);
  while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) line[--length] = '\0';
  if (length > 0) Log("ffmpeg: %s", line);
}

}  // namespace

void RouteFfmpegLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_ERROR);
    av_log_set_callback(ToProgramLog);
  });
}

}  // namespace kp
