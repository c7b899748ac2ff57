// The platform half of RunEngine: from the loaded settings to the end of the
// loop. The instance lock, the log and the settings file are RunEngine's.
#pragma once

#include <string>

#include "config/settings.h"

namespace kp {

// The tray engine lets go of a console it was started from (a terminal, a
// batch file), so closing that console or Ctrl+C in it cannot end the engine
// without its shut-down, and no console window fills with its log. Streams
// on that console are closed; a caller's redirection to a file or pipe
// stays. POSIX: nothing to do (a terminal's signals reach the engine as
// Stop).
void LeaveConsole();

// Creates the shell, the engine and the host, serves the control events,
// the settings folder, timers and posted messages until Stop (or the tray's
// Exit), then shuts down in order. `loadError` is the loader's text when the
// settings file was unreadable at start, else empty.
void ServeEngine(void* instance, const std::wstring& settingsPath, const Settings& settings,
                 const std::string& loadError);

}  // namespace kp
