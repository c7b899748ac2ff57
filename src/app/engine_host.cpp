#include "app/engine_host.h"

#include <atomic>
#include <cstdio>
#include <memory>

#include "app/command_line.h"
#include "app/log.h"
#include "config/settings.h"
#include "engine/engine.h"
#include "platform/clock.h"
#include "platform/control_channel.h"
#include "platform/files.h"
#include "platform/path.h"
#include "platform/text.h"
#include "update/update_check.h"
#include "update/update_thread.h"

namespace kp {

namespace {

// Reads the settings file again and hands a changed result to the engine; an
// unreadable file keeps the settings in force, an unchanged one costs nothing.
void ReloadSettings(const std::wstring& settingsPath, Settings& current, Engine& engine, Files& files) {
  Settings loaded;
  std::string error;
  if (!LoadSettings(settingsPath, &loaded, &error, files)) {
    Log("settings: %s \xE2\x80\x94 keeping current settings", error.c_str());
    return;
  }
  if (loaded == current) return;
  current = loaded;
  Log("settings: reloaded");
  engine.ApplySettings(current);
}

}  // namespace

int RunEngine(void* /*instance: the window class needs it once the tray exists*/, const std::wstring& settingsPath) {
  std::unique_ptr<InstanceLock> instanceLock = AcquireInstanceLock();
  if (!instanceLock) {
    // Another engine runs: it opens its settings application.
    if (!SignalControlEvent(ControlEvent::kShowSettings)) std::fputs(kNotRunningText, stderr);
    return 0;
  }

  Files& files = SystemFiles();
  const std::wstring logFolder = LogFolder();
  files.CreateFolderChain(logFolder);
  OpenLogFile(JoinPath(logFolder, L"engine.log"));
  Log("engine: starting (settings: %s)", WideToUtf8(settingsPath).c_str());

  Settings settings;
  std::string error;
  if (!LoadSettings(settingsPath, &settings, &error, files)) {
    Log("settings: %s \xE2\x80\x94 using defaults", error.c_str());
  }
  // A first start leaves a complete default file; an unreadable existing
  // file is never overwritten.
  if (!files.Stat(settingsPath).exists) SaveSettings(settingsPath, settings, files);

  Engine engine([](const Engine::SaveResult&) {
    // The summary line is the engine's; nothing else shows a result yet.
  });
  engine.ApplySettings(settings);

  // Until the host shows notifications, an update found is a log line.
  auto hostRunning = std::make_shared<std::atomic<bool>>(true);
  if (!ReadManifestUrls().empty()) {
    StartUpdateThread({[hostRunning] { return hostRunning->load(); }, [] { return CheckForUpdates(); },
                       [](UpdateInfo* info) {
                         Log("engine: update %s available", info->version.c_str());
                         delete info;
                         return true;
                       }});
  }

  std::unique_ptr<ControlEvents> events = CreateControlEvents();
  bool running = events != nullptr;
  while (running) {
    ControlEvents::Wake wake = events->Wait(-1);
    switch (wake.kind) {
      case ControlEvents::Wake::Kind::kEvent:
        switch (wake.event) {
          case ControlEvent::kSave:
            engine.RequestSave();
            break;
          case ControlEvent::kStop:
            running = false;
            break;
          case ControlEvent::kReload:
            ReloadSettings(settingsPath, settings, engine, files);
            break;
          case ControlEvent::kShowSettings:
            break;  // the settings application is started by the tray host
        }
        break;
      case ControlEvents::Wake::Kind::kQuit:
        running = false;
        break;
      case ControlEvents::Wake::Kind::kTimeout:
        break;
      case ControlEvents::Wake::Kind::kError:
        SystemClock().SleepMs(10);
        break;
    }
  }

  Log("engine: exiting");
  hostRunning->store(false);
  engine.Shutdown();  // queued saves are written first
  events.reset();
  instanceLock.reset();
  CloseLogFile();
  return 0;
}

}  // namespace kp
