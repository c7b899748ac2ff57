// Keeps a failure that a retry loop hits on every pass from flooding the log.
//
// A retry loop owns one RepeatLog and marks each of its attempts with a
// LogAttempt on its own thread. While an attempt is open, a line that equals
// one the same loop wrote less than 10 minutes ago is counted instead of
// written. Once its 10 minutes have passed, the next occurrence is written
// with the count appended: "<line> (repeated %llu times in the last %d min)",
// the minutes since it was last written, rounded up. A successful attempt
// ends the episode: when lines were counted, "<what> recovered after %llu
// failed attempts" follows, and the loop forgets its lines, so the first
// lines of the next failure are written again.
//
// Never held back: lines written outside an attempt, lines of other threads
// (the attempt belongs to its thread), and lines written after the attempt
// was marked successful (the "capturing", "[recovered]" lines). An attempt
// opened inside another one (the capture's first duplication inside a
// pipeline build) counts its lines for the outer loop and has no effect of
// its own.
//
// The loop remembers at most 16 lines in a table made with the RepeatLog,
// so the logging path allocates nothing. When the table is full the line
// written longest ago makes room, first written with its count if it has
// one; a RepeatLog that ends writes each line still counted with its count.
// Standard error and the log file see the same lines.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace kp {

class RepeatLog {
 public:
  static constexpr int kEntries = 16;
  static constexpr int64_t kRepeatTicks = 10 * 60 * kTicksPerSecond;

  // `what` starts the recovery line: the loop's prefix and what it retries,
  // such as "audio: mic". `clock` must outlive the RepeatLog.
  RepeatLog(std::string what, Clock& clock);
  ~RepeatLog();
  RepeatLog(const RepeatLog&) = delete;
  RepeatLog& operator=(const RepeatLog&) = delete;

 private:
  friend class LogAttempt;
  friend bool TakeRepeatedLine(const char* message);

  struct Entry {
    bool used = false;
    uint64_t hash = 0;
    uint64_t count = 0;       // occurrences held back since it was last written
    int64_t lastWritten = 0;  // clock ticks
    char text[1024] = {};     // the log's own line limit
  };

  // True when the line was dealt with here (counted, or written with its count).
  bool Take(const char* message);
  void WriteCounted(const Entry& entry, int64_t now) const;
  void EndEpisode();

  const std::string what_;
  Clock& clock_;
  std::array<Entry, kEntries> entries_{};
  uint64_t failedAttempts_ = 0;
  bool counted_ = false;  // some line was held back in this episode
};

// One attempt of a retry loop, on the calling thread, from construction to
// destruction. Not marked successful, it is a failed attempt.
class LogAttempt {
 public:
  explicit LogAttempt(RepeatLog& loop);
  ~LogAttempt();
  LogAttempt(const LogAttempt&) = delete;
  LogAttempt& operator=(const LogAttempt&) = delete;

  // The attempt succeeded: lines from here on are written as they come, and
  // when the attempt ends the episode ends (with its recovery line if lines
  // were counted). Ignored in an attempt nested in another.
  void Succeeded();

 private:
  RepeatLog* loop_;  // null when nested
  bool succeeded_ = false;
};

// For Log: hands a formatted message to the calling thread's open attempt.
// True when the attempt took it, so the caller must not write it.
bool TakeRepeatedLine(const char* message);

}  // namespace kp
