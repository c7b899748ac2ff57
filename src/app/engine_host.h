// Tray mode: the one long-running engine process of a user session.
#pragma once

#include <string>

namespace kp {

// Takes the instance lock (a second start asks the running engine to open its
// settings and returns), opens "engine.log", loads the settings (writing the
// default file when none exists), and serves the control events until Stop.
// Always returns 0.
int RunEngine(void* instance, const std::wstring& settingsPath);

}  // namespace kp
