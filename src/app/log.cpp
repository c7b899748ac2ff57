#include "app/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "app/repeat_log.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/known_folders.h"
#include "platform/local_time.h"
#include "platform/path.h"
#include "platform/stdio_file.h"

namespace kp {

namespace {

constexpr uint64_t kRotateAboveBytes = 5 * 1024 * 1024;

struct LogState {
  std::mutex mutex;
  std::FILE* file = nullptr;
  LogObserver observer = nullptr;
  void* observerContext = nullptr;
};

// Never destroyed: a detached thread (the update check) may still log
// while the process exits.
LogState& State() {
  static LogState* const state = new LogState;
  return *state;
}

// Set by the first Log call; the console column counts from here.
uint64_t TimeOrigin() {
  static const uint64_t origin = MonotonicNow();
  return origin;
}

}  // namespace

std::wstring LogFolder() {
  std::wstring base = GetKnownFolder(KnownFolder::kLocalAppData);
  if (base.empty()) base = L".";
  return JoinPath(JoinPath(base, L"Kaptora"), L"logs");
}

void OpenLogFile(const std::wstring& path) {
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  if (state.file != nullptr) {
    std::fclose(state.file);
    state.file = nullptr;
  }
  Files& files = SystemFiles();
  FileInfo info = files.Stat(path);
  // A file of exactly 5 MiB stays; rotation happens only here, once per run.
  if (info.exists && !info.isFolder && info.size > kRotateAboveBytes) files.ReplaceRename(path, path + L".old");
  state.file = OpenSharedAppend(path);
}

void CloseLogFile() {
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  if (state.file != nullptr) {
    std::fclose(state.file);
    state.file = nullptr;
  }
}

void Log(const char* format, ...) {
  TimeOrigin();  // the first call fixes the console's zero
  char message[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (TakeRepeatedLine(message)) return;
  WriteLogLine(message);
}

void WriteLogLine(const char* message) {
  const double seconds = static_cast<double>(static_cast<int64_t>(MonotonicNow() - TimeOrigin())) / 1e7;
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  std::fprintf(stderr, "[%8.3f] %s\n", seconds, message);
  if (state.file != nullptr) {
    LocalTime t = GetLocalTimeNow();
    std::fprintf(state.file, "%04u-%02u-%02u %02u:%02u:%02u.%03u %s\r\n", t.year, t.month, t.day, t.hour, t.minute,
                 t.second, t.millisecond, message);
    std::fflush(state.file);
  }
  if (state.observer != nullptr) state.observer(message, state.observerContext);
}

void SetLogObserver(LogObserver observer, void* context) {
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  state.observer = observer;
  state.observerContext = context;
}

}  // namespace kp
