// Registering the two configured hotkeys: what fails is logged one line per
// hotkey ("hotkey: cannot register '%s' (invalid)" or "... (in use by another
// program)") and listed in one tray notification. An empty text switches the
// hotkey off without a word.
#pragma once

#include <string>

#include "app/host_shell.h"
#include "app/interface_texts.h"
#include "app/tray_icon.h"
#include "config/settings.h"

namespace kp {

// Registers `text` as hotkey `id`. On failure logs and appends the text to
// `failures` (", " between entries). Returns false on failure.
bool RegisterConfiguredHotkey(HostShell& shell, int id, const std::string& text, std::wstring* failures);

// Unregisters both identifiers, registers saveReplayHotkey (1) and
// toggleReplayHotkey (2) again, and shows one notification listing every
// failure.
void ApplyHotkeys(HostShell& shell, TrayIcon& tray, const Settings& settings, const TextTable& texts);

}  // namespace kp
