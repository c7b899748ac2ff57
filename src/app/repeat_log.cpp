#include "app/repeat_log.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "app/log.h"
#include "platform/thread_slot.h"

namespace kp {

namespace {

// The RepeatLog whose attempt is open on the calling thread, or null.
ThreadSlot& ActiveLoop() {
  static ThreadSlot slot;
  return slot;
}

uint64_t HashText(const char* text) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    hash = (hash ^ *p) * 1099511628211ull;
  }
  return hash;
}

}  // namespace

RepeatLog::RepeatLog(std::string what, Clock& clock) : what_(std::move(what)), clock_(clock) {}

RepeatLog::~RepeatLog() {
  const int64_t now = clock_.Now();
  for (const Entry& entry : entries_) {
    if (entry.used && entry.count > 0) WriteCounted(entry, now);
  }
}

bool RepeatLog::Take(const char* message) {
  const int64_t now = clock_.Now();
  const uint64_t hash = HashText(message);
  Entry* room = &entries_[0];
  for (Entry& entry : entries_) {
    if (entry.used && entry.hash == hash && std::strcmp(entry.text, message) == 0) {
      if (now - entry.lastWritten < kRepeatTicks) {
        ++entry.count;
        counted_ = true;
        return true;
      }
      if (entry.count > 0) {
        WriteCounted(entry, now);
      } else {
        WriteLogLine(message);
      }
      entry.count = 0;
      entry.lastWritten = now;
      return true;
    }
    // A free entry, else the one written longest ago.
    if (room->used && (!entry.used || entry.lastWritten < room->lastWritten)) room = &entry;
  }
  if (room->used && room->count > 0) WriteCounted(*room, now);
  room->used = true;
  room->hash = hash;
  room->count = 0;
  room->lastWritten = now;
  std::snprintf(room->text, sizeof room->text, "%s", message);
  return false;
}

void RepeatLog::WriteCounted(const Entry& entry, int64_t now) const {
  constexpr int64_t kMinute = 60 * kTicksPerSecond;
  const int64_t minutes = (now - entry.lastWritten + kMinute - 1) / kMinute;
  char suffix[96];
  const int suffixLength =
      std::snprintf(suffix, sizeof suffix, " (repeated %llu times in the last %d min)",
                    static_cast<unsigned long long>(entry.count), static_cast<int>(minutes < 1 ? 1 : minutes));
  // The text gives way to the count when both do not fit the line limit.
  char line[sizeof entry.text];
  const int room = static_cast<int>(sizeof line) - 1 - suffixLength;
  std::snprintf(line, sizeof line, "%.*s%s", room, entry.text, suffix);
  WriteLogLine(line);
}

void RepeatLog::EndEpisode() {
  if (counted_) {
    char line[1024];
    std::snprintf(line, sizeof line, "%s recovered after %llu failed attempts", what_.c_str(),
                  static_cast<unsigned long long>(failedAttempts_));
    WriteLogLine(line);
  }
  for (Entry& entry : entries_) entry.used = false;
  failedAttempts_ = 0;
  counted_ = false;
}

LogAttempt::LogAttempt(RepeatLog& loop) : loop_(ActiveLoop().Get() == nullptr ? &loop : nullptr) {
  if (loop_ != nullptr) ActiveLoop().Set(loop_);
}

LogAttempt::~LogAttempt() {
  if (loop_ == nullptr) return;
  ActiveLoop().Set(nullptr);
  if (succeeded_) {
    loop_->EndEpisode();
  } else {
    ++loop_->failedAttempts_;
  }
}

void LogAttempt::Succeeded() {
  if (loop_ == nullptr || succeeded_) return;
  succeeded_ = true;
  ActiveLoop().Set(nullptr);
}

bool TakeRepeatedLine(const char* message) {
  auto* loop = static_cast<RepeatLog*>(ActiveLoop().Get());
  return loop != nullptr && loop->Take(message);
}

}  // namespace kp
