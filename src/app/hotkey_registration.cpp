#include "app/hotkey_registration.h"

#include "app/log.h"
#include "config/hotkey.h"
#include "platform/text.h"

namespace kp {

namespace {

constexpr size_t kNotificationBuffer = 512;  // wide characters, with the terminator

}  // namespace

bool RegisterConfiguredHotkey(HostShell& shell, int id, const std::string& text, std::wstring* failures) {
  if (text.empty()) return true;
  const std::optional<Hotkey> hotkey = ParseHotkey(text);
  if (hotkey && shell.RegisterHotkey(id, hotkey->modifiers | kModNoRepeat, hotkey->key)) return true;
  Log("hotkey: cannot register '%s'%s", text.c_str(), hotkey ? " (in use by another program)" : " (invalid)");
  if (!failures->empty()) *failures += L", ";
  *failures += Utf8ToWide(text);
  return false;
}

void ApplyHotkeys(HostShell& shell, TrayIcon& tray, const Settings& settings, const TextTable& texts) {
  shell.UnregisterHotkey(kSaveHotkeyId);
  shell.UnregisterHotkey(kToggleHotkeyId);
  std::wstring failures;
  RegisterConfiguredHotkey(shell, kSaveHotkeyId, settings.saveReplayHotkey, &failures);
  RegisterConfiguredHotkey(shell, kToggleHotkeyId, settings.toggleReplayHotkey, &failures);
  if (failures.empty()) return;
  std::wstring text = FillText(Text(texts, UiText::kHotkeyText), {failures});
  if (text.size() >= kNotificationBuffer) text.resize(kNotificationBuffer - 1);
  tray.ShowNotification(Text(texts, UiText::kHotkeyTitle), text);
}

}  // namespace kp
