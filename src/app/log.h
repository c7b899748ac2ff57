// The process-wide log. Every subsystem writes one line per event (a failure
// that a retry loop meets on every pass is counted, see repeat_log.h), prefixed
// with its area ("engine: ", "buffer: ", ...). Each line goes to standard
// error as "[%8.3f] %s\n" (seconds since the first log call) and, when a log
// file is open, to that file as "YYYY-MM-DD hh:mm:ss.mmm %s\r\n" in local
// time. Thread-safe; the logging path does not allocate.
#pragma once

#include <string>

namespace kp {

// LocalAppData + "\Kaptora\logs" ("." when the known folder is unknown).
// Not created here.
std::wstring LogFolder();

// Closes the current log file, moves `path` to `path` + ".old" when it is
// larger than 5 MiB (replacing an older copy), and opens `path` for shared
// append. A failure leaves no file open; standard error still gets every line.
void OpenLogFile(const std::wstring& path);

// Closes the log file, if any. Lines still reach standard error.
void CloseLogFile();

// printf-style; messages longer than 1023 bytes are cut. Inside a retry
// loop's attempt (repeat_log.h) a line that repeats may be counted instead of
// written; everywhere else each call writes its line. Messages are UTF-8:
// wide paths and names are converted (WideToUtf8) and passed with "%s",
// never with "%ls", which the runtime converts to the ANSI code page. On MinGW the
// formatting is the runtime's C99 one (libstdc++ turns it on), so formats
// are checked as GNU printf there too.
void Log(const char* format, ...)
#if defined(__MINGW_PRINTF_FORMAT)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Writes a finished message as it is, past any attempt: how the repeat log
// writes its count and recovery lines.
void WriteLogLine(const char* message);

// Test hook: sees every formatted message (without time or line end) under
// the log mutex. Pass null to remove. Not for product code.
using LogObserver = void (*)(const char* message, void* context);
void SetLogObserver(LogObserver observer, void* context);

}  // namespace kp
