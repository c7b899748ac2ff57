// Linux: the host's decisions over the console shell, in one poll over the
// control events, the settings-folder watch, the timers and the posted
// messages.
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <vector>

#include "app/console_shell_posix.h"
#include "app/engine_control.h"
#include "app/engine_loop.h"
#include "app/host_core.h"
#include "audio/audio_source_posix.h"
#include "app/log.h"
#include "engine/engine.h"
#include "platform/clock.h"
#include "platform/control_channel_posix.h"
#include "platform/stand_ins_posix.h"
#include "platform/path.h"
#include "update/update_check.h"
#include "update/update_thread.h"
#include "video/video_source_posix.h"

namespace kp {

namespace {

// One wait, as the Windows loop's: a control event is served first (Stop
// ends the loop), then a folder change, then timers and posted messages.
void RunLoop(PollableControlEvents& events, ConsoleShell& shell, HostCore& core) {
  std::vector<pollfd> fds;
  while (!shell.quitRequested()) {
    fds.clear();
    events.AppendPollFds(&fds);
    const size_t shellFirst = fds.size();
    shell.AppendPollFds(&fds);
    if (::poll(fds.data(), fds.size(), events.StopSet() ? 0 : -1) < 0) {
      if (errno != EINTR) SystemClock().SleepMs(10);
      continue;
    }
    if (std::optional<ControlEvent> event = events.TakeReady(fds.data())) {
      if (*event == ControlEvent::kStop) return;
      core.OnControlEvent(*event);
      continue;
    }
    shell.Dispatch(fds.data() + shellFirst, core);
  }
}

}  // namespace

void LeaveConsole() {}

void ServeEngine(void*, const std::wstring& settingsPath, const Settings& settings, const std::string& loadError) {
  Log("engine: video from %s", PlatformVideoSourceName().c_str());
  Log("engine: audio from %s", PlatformAudioSourceName().c_str());
  ConsoleShell shell;
  if (!StandInsRequired()) {
    // A display means programs it launches have somewhere to show.
    ConsoleShell::Desktop desktop{X11Hotkeys::Open(), DbusNotifier::Open(), false,
                                  std::make_unique<PulseSoundPlayer>()};
    desktop.spawnLaunches = desktop.hotkeys != nullptr;
    shell.UseDesktop(std::move(desktop));
  }
  Engine engine([post = shell.Poster()](const Engine::SaveResult& result) { PostSaveFinished(post, result); });
  EngineControlOf control(engine);
  HostCore core(shell, control, SystemFiles(), settingsPath, settings);
  core.Start(loadError);
  // The update thread, when manifests are configured. Its posts fail once
  // the shell's queue has closed, and it ends when it finds the host gone.
  auto hostRunning = std::make_shared<std::atomic<bool>>(true);
  if (!ReadManifestUrls().empty()) {
    StartUpdateThread({[hostRunning] { return hostRunning->load(); }, [] { return CheckForUpdates(); },
                       [post = shell.Poster()](UpdateInfo* info) {
                         std::unique_ptr<UpdateInfo> record(info);
                         PostUpdateAvailable(post, std::move(record->version), std::move(record->notes));
                         return true;
                       }});
  }

  std::unique_ptr<PollableControlEvents> events = CreatePollableControlEvents();
  // Without a watch the engine still reloads on "kaptora reload".
  shell.WatchFolder(ParentFolder(settingsPath));
  if (events) RunLoop(*events, shell, core);
  hostRunning->store(false);
  core.Finish();
}

}  // namespace kp
