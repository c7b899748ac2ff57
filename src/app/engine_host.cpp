#include "app/engine_host.h"

#include <cstdio>

#include "app/command_line.h"
#include "app/engine_loop.h"
#include "app/log.h"
#include "app/process_facts.h"
#include "config/settings.h"
#include "platform/control_channel.h"
#include "platform/files.h"
#include "platform/path.h"
#include "platform/text.h"

namespace kp {

int RunEngine(void* instance, const std::wstring& settingsPath) {
  bool unusable = false;
  std::unique_ptr<InstanceLock> instanceLock = AcquireInstanceLock(&unusable);
  if (unusable) return 1;  // the reason is logged; no engine can be reached
  if (!instanceLock) {
    // Another engine runs: it opens its settings application.
    if (!SignalControlEvent(ControlEvent::kShowSettings)) std::fputs(kNotRunningText, stderr);
    return 0;
  }
  // After the instance check, whose answer a second start prints there.
  LeaveConsole();

  Files& files = SystemFiles();
  const std::wstring logFolder = LogFolder();
  files.CreateFolderChain(logFolder);
  OpenLogFile(JoinPath(logFolder, L"engine.log"));
  Log("engine: starting (settings: %s)", WideToUtf8(settingsPath).c_str());
  if (!PerMonitorDpiAware()) {
    Log("engine: not per-monitor DPI aware (a compatibility setting?) \xE2\x80\x94 capture may fail");
  }

  Settings settings;
  std::string error;
  std::string loadError;
  if (!LoadSettings(settingsPath, &settings, &error, files)) {
    Log("settings: %s \xE2\x80\x94 using defaults", error.c_str());
    loadError = error.empty() ? std::string("?") : error;
  }
  // A first start leaves a complete default file; an unreadable existing
  // file is never overwritten.
  if (!files.Stat(settingsPath).exists) SaveSettings(settingsPath, settings, files);

  ServeEngine(instance, settingsPath, settings, loadError);

  // The mutex is held to the end, so a second start during shut-down still
  // finds it and only signals ShowSettings.
  instanceLock.reset();
  CloseLogFile();
  return 0;
}

}  // namespace kp
