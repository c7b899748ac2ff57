// The platform half of RunEngine: from the loaded settings to the end of the
// loop. The instance lock, the log and the settings file are RunEngine's.
#pragma once

#include <string>

#include "config/settings.h"

namespace kp {

// Creates the shell, the engine and the host, serves the control events,
// the settings folder, timers and posted messages until Stop (or the tray's
// Exit), then shuts down in order. `loadError` is the loader's text when the
// settings file was unreadable at start, else empty.
void ServeEngine(void* instance, const std::wstring& settingsPath, const Settings& settings,
                 const std::string& loadError);

}  // namespace kp
