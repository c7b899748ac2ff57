// Windows: the host's decisions over the engine window, in one
// MsgWaitForMultipleObjects over the control events, the settings-folder
// change notification and the window's messages.
#include <windows.h>
#include <io.h>

#include <array>
#include <cstdio>
#include <memory>

#include "app/engine_control.h"
#include "app/engine_loop.h"
#include "app/host_core.h"
#include "app/log.h"
#include "app/window_shell_win.h"
#include "engine/engine.h"
#include "platform/control_channel_win.h"
#include "platform/media_foundation_win.h"
#include "platform/path.h"
#include "update/update_check.h"
#include "update/update_thread.h"

namespace kp {

namespace {

// A stream still on the console goes to NUL before the console goes, so
// later writes neither fail nor reach a console this process left.
void MoveOffConsole(FILE* stream) {
  DWORD mode = 0;
  const intptr_t handle = ::_get_osfhandle(::_fileno(stream));
  if (handle == -1 || !::GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode)) return;
  std::fflush(stream);
  FILE* reopened = nullptr;
  ::freopen_s(&reopened, "NUL", "w", stream);
}

// Until Stop, or a WM_QUIT (the tray's Exit, a close request, the end of the
// session) among a batch of messages, which ends the loop after the batch.
void RunLoop(WaitableControlEvents& events, HANDLE change, HostCore& core) {
  constexpr DWORD kEventCount = 4;
  std::array<HANDLE, kEventCount + 1> handles{};
  for (DWORD i = 0; i < kEventCount; ++i) handles[i] = events.Handles()[i];
  handles[kEventCount] = change;
  DWORD count = change != INVALID_HANDLE_VALUE ? kEventCount + 1 : kEventCount;
  for (;;) {
    // MWMO_INPUTAVAILABLE: a message already seen by a nested PeekMessage
    // (a menu, a shell call) still wakes the wait.
    const DWORD result =
        ::MsgWaitForMultipleObjectsEx(count, handles.data(), INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (result < WAIT_OBJECT_0 + kEventCount) {
      const ControlEvent event = WaitableControlEvents::kOrder[result - WAIT_OBJECT_0];
      if (event == ControlEvent::kStop) return;
      core.OnControlEvent(event);
    } else if (result < WAIT_OBJECT_0 + count) {
      if (!::FindNextChangeNotification(change)) {
        // The folder was renamed or went offline: the handle would stay
        // signalled, so it leaves the wait for good.
        Log("settings: the settings folder is no longer watched (error %lu) \xE2\x80\x94 reload on request only",
            ::GetLastError());
        count = kEventCount;
      }
      core.OnFolderChanged();
    } else if (result == WAIT_OBJECT_0 + count) {
      bool quit = false;
      MSG message;
      while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) quit = true;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
      }
      if (quit) return;
    } else {
      ::Sleep(10);
    }
  }
}

}  // namespace

void LeaveConsole() {
  MoveOffConsole(stdout);
  MoveOffConsole(stderr);
  ::FreeConsole();  // fails harmlessly when there is none
}

void ServeEngine(void* instance, const std::wstring& settingsPath, const Settings& settings,
                 const std::string& loadError) {
  WindowShell shell;
  shell.Open(static_cast<HINSTANCE>(instance));
  Engine engine([post = shell.Poster()](const Engine::SaveResult& result) { PostSaveFinished(post, result); });
  EngineControlOf control(engine);
  HostCore core(shell, control, SystemFiles(), settingsPath, settings);
  shell.Attach(&core);
  // Loaded up front, so that a system without it says so at once.
  mf::Installed();
  core.Start(loadError);
  // The update thread, when manifests are configured. Its posts fail once
  // the window is gone, and it ends when it finds the window gone.
  if (!ReadManifestUrls().empty()) {
    StartUpdateThread({[window = shell.window()] { return ::IsWindow(window) != FALSE; }, [] { return CheckForUpdates(); },
                       [post = shell.Poster()](UpdateInfo* info) {
                         std::unique_ptr<UpdateInfo> record(info);
                         PostUpdateAvailable(post, std::move(record->version), std::move(record->notes));
                         return true;
                       }});
  }

  std::unique_ptr<WaitableControlEvents> events = CreateWaitableControlEvents();
  // Without a watch the engine still reloads on "Kaptora reload".
  HANDLE change = ::FindFirstChangeNotificationW(ParentFolder(settingsPath).c_str(), FALSE,
                                                 FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE);
  if (events) RunLoop(*events, change, core);

  core.Finish();  // "engine: exiting", engine shutdown (queued saves written), tray icon removed
  shell.Attach(nullptr);
  shell.DestroyWindow();
  if (change != INVALID_HANDLE_VALUE) ::FindCloseChangeNotification(change);
  events.reset();
}

}  // namespace kp
