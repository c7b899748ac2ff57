// The interface text table: every text the tray, its menu and the
// notifications show, in English and Korean. "%s" marks where a value goes
// (FillText); the host picks the table by the language setting.
#pragma once

#include <array>
#include <initializer_list>
#include <string>
#include <string_view>

namespace kp {

enum class UiText {
  kSaveClip = 0,          // menu item 1; tooltip hotkey line
  kPauseReplay,           // menu item 2 while recording
  kResumeReplay,          // menu item 2 while paused
  kOpenClipFolder,        // menu item 3
  kEditClip,              // menu item 4
  kSettings,              // menu item 5
  kExit,                  // menu item 6
  kStatusRecording,       // %s = buffered length
  kStatusPaused,
  kStatusNoScreen,
  kSavedTitle,
  kSavedText,             // %s = length, %s = file name
  kSaveFailedTitle,
  kSaveFailedText,
  kNothingToSaveText,
  kHotkeyTitle,
  kHotkeyText,            // %s = the failed hotkeys
  kSettingsFileTitle,
  kReloadFailedText,
  kSaving,                // %s = progress
  kLowSpaceTitle,
  kLowSpaceText,
  kBufferUnwritableTitle,
  kBufferUnwritableText,
  kUpdateTitle,
  kUpdateText,            // %s = version
  kCount
};

using TextTable = std::array<const wchar_t*, static_cast<size_t>(UiText::kCount)>;

const TextTable& EnglishTexts();
const TextTable& KoreanTexts();
// English exactly for "en"; Korean for anything else (the default "ko").
const TextTable& TextsForLanguage(const std::string& language);

inline const wchar_t* Text(const TextTable& table, UiText id) { return table[static_cast<size_t>(id)]; }

// `pattern` with each "%s" replaced by the next value, in order; a "%s"
// without a value is left as it is.
std::wstring FillText(std::wstring_view pattern, std::initializer_list<std::wstring_view> values);

// "%d:%02d" of `seconds` rounded to the nearest whole second: 299.6 -> "5:00".
std::wstring MinutesSeconds(double seconds);

}  // namespace kp
