// What the tray shows for an engine status: the icon state, the tooltip and
// the menu. Pure functions of the status, the text table and the save
// hotkey's text.
#pragma once

#include <string>
#include <vector>

#include "app/host_shell.h"
#include "app/interface_texts.h"
#include "engine/engine.h"

namespace kp {

// Menu command identifiers.
enum MenuCommand : int {
  kMenuSaveClip = 1,
  kMenuToggleReplay = 2,
  kMenuOpenClipFolder = 3,
  kMenuEditClip = 4,
  kMenuSettings = 5,
  kMenuExit = 6,
};

struct TrayView {
  TrayState state = TrayState::kRecording;
  std::wstring tooltip;  // uncut; the icon cuts it
};

// The state line (recording with its buffered length, waiting for the
// screen, or paused), the save progress line while saves are pending, and
// the save hotkey line when a save hotkey is set, under "Kaptora".
TrayView ComputeTrayView(const Engine::Status& status, const TextTable& texts, const std::string& saveHotkey);

// The tray menu, top to bottom; "Save clip" is greyed until something is
// buffered.
std::vector<MenuItem> BuildTrayMenu(const Engine::Status& status, bool replayEnabled, const TextTable& texts,
                                    const std::string& saveHotkey);

}  // namespace kp
