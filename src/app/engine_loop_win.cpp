// Windows, until the engine window exists: the control events alone drive
// the engine (no tray, hotkeys, timers or folder watch yet).
#include "app/engine_loop.h"
#include "app/log.h"
#include "engine/engine.h"
#include "platform/clock.h"
#include "platform/control_channel.h"
#include "platform/files.h"

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

void ServeEngine(void*, const std::wstring& settingsPath, const Settings& initial, const std::string&) {
  Settings settings = initial;
  Engine engine([](const Engine::SaveResult&) {
    // The summary line is the engine's; nothing else shows a result yet.
  });
  engine.ApplySettings(settings);

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
            ReloadSettings(settingsPath, settings, engine, SystemFiles());
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
  engine.Shutdown();  // queued saves are written first
}

}  // namespace kp
