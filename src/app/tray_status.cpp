#include "app/tray_status.h"

#include <cstdio>

#include "platform/text.h"

namespace kp {

namespace {

std::wstring Percent(const Engine::Status& status) {
  char text[64];
  if (status.pendingSaves > 1) {
    std::snprintf(text, sizeof text, "%.0f%% (+%d)", status.saveProgress * 100.0, status.pendingSaves - 1);
  } else {
    std::snprintf(text, sizeof text, "%.0f%%", status.saveProgress * 100.0);
  }
  return Utf8ToWide(text);
}

}  // namespace

TrayView ComputeTrayView(const Engine::Status& status, const TextTable& texts, const std::string& saveHotkey) {
  TrayView view;
  std::wstring line;
  if (status.captureRunning && status.capturing) {
    view.state = TrayState::kRecording;
    line = FillText(Text(texts, UiText::kStatusRecording), {MinutesSeconds(status.bufferedSeconds)});
  } else if (status.captureRunning) {
    view.state = TrayState::kWaiting;
    line = Text(texts, UiText::kStatusNoScreen);
  } else {
    view.state = TrayState::kPaused;
    line = Text(texts, UiText::kStatusPaused);
  }
  if (status.pendingSaves > 0) line += L"\n" + FillText(Text(texts, UiText::kSaving), {Percent(status)});
  view.tooltip = L"Kaptora\n" + line;
  if (!saveHotkey.empty()) {
    view.tooltip += L"\n" + std::wstring(Text(texts, UiText::kSaveClip)) + L": " + Utf8ToWide(saveHotkey);
  }
  return view;
}

std::vector<MenuItem> BuildTrayMenu(const Engine::Status& status, bool replayEnabled, const TextTable& texts,
                                    const std::string& saveHotkey) {
  std::wstring save = Text(texts, UiText::kSaveClip);
  if (!saveHotkey.empty()) save += L"\t" + Utf8ToWide(saveHotkey);
  return {
      {kMenuSaveClip, save, !(status.bufferedSeconds > 0.0), false},
      {kMenuToggleReplay, Text(texts, replayEnabled ? UiText::kPauseReplay : UiText::kResumeReplay), false, false},
      {},
      {kMenuOpenClipFolder, Text(texts, UiText::kOpenClipFolder), false, false},
      {kMenuEditClip, Text(texts, UiText::kEditClip), false, false},
      {kMenuSettings, Text(texts, UiText::kSettings), false, true},
      {},
      {kMenuExit, Text(texts, UiText::kExit), false, false},
  };
}

}  // namespace kp
