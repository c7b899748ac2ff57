#include "app/export_command.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "app/export_protocol.h"
#include "app/log.h"
#include "audio/media_thread_scope.h"
#include "config/settings.h"
#include "engine/pipeline_config.h"
#include "export/export_clip.h"
#include "export/export_job.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/path.h"
#include "platform/standard_input.h"

namespace kp {

namespace {

// Set by the standard-input watcher, read by the export. Process-wide
// because the watcher is never joined: it may outlive RunExport.
std::atomic<bool> g_cancel{false};

void WatchStandardInput() {
  CancelLineReader reader;
  char byte = 0;
  while (ReadStandardInputByte(&byte)) {
    if (reader.Feed(byte)) g_cancel.store(true);
  }
}

void PrintLine(const char* line) {
  std::fputs(line, stdout);
  std::fflush(stdout);
}

}  // namespace

int RunExport(const std::wstring& settingsPath, const std::wstring& jobPath) {
  const std::wstring logFolder = LogFolder();
  SystemFiles().CreateFolderChain(logFolder);
  OpenLogFile(JoinPath(logFolder, L"export.log"));
  const MediaThreadScope media;

  ExportJob job;
  std::string error;
  if (!ParseExportJob(jobPath, job, &error)) {
    Log("export: %s", error.c_str());
    PrintLine("error job\n");
    return 2;
  }

  Settings settings;
  error.clear();
  if (!LoadSettings(settingsPath, &settings, &error)) Log("settings: %s (using defaults)", error.c_str());

  // Without a pipe from a parent nobody can ask for a cancel.
  if (StandardInputIsPipe()) std::thread(WatchStandardInput).detach();

  ProgressLimiter limiter;
  const std::function<void(double)> progress = [&limiter](double value) {
    if (!limiter.ShouldPrint(value, static_cast<int64_t>(MonotonicNow()))) return;
    std::printf("progress %.4f\n", value);
    std::fflush(stdout);
  };

  const ExportResult result = ExportClip(job, MakePipelineConfig(settings), g_cancel, progress);
  const char* word = ExportResultText(result);
  if (result == ExportResult::Ok) {
    PrintLine("done\n");
  } else {
    std::printf("error %s\n", word);
    std::fflush(stdout);
  }
  Log("export: %s", word);
  return result == ExportResult::Ok ? 0 : 1;
}

}  // namespace kp
