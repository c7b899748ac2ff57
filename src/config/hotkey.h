// The hotkey text grammar: "Alt+F10", "ctrl + shift + s", "F10+Alt". Parts
// are separated by '+', trimmed of spaces and matched without regard to
// letter case; any number of modifiers and exactly one key name. The text is
// never normalised: callers log and show what the user typed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kp {

// Modifier bits as the system's hotkey registration takes them.
inline constexpr uint32_t kModAlt = 0x1;
inline constexpr uint32_t kModControl = 0x2;
inline constexpr uint32_t kModShift = 0x4;
inline constexpr uint32_t kModWin = 0x8;
// Keeps a held key from repeating the hotkey; added at registration only.
inline constexpr uint32_t kModNoRepeat = 0x4000;

struct Hotkey {
  uint32_t modifiers = 0;
  uint32_t key = 0;  // Windows virtual-key code

  bool operator==(const Hotkey&) const = default;
};

struct HotkeyKeyName {
  std::string name;
  uint32_t code = 0;
};

// The 103 key names in their fixed order, built once (thread-safe) and kept
// for the life of the process.
const std::vector<HotkeyKeyName>& HotkeyKeyNames();

// The modifiers and key of `text` (UTF-8), or nothing when it is not a valid
// hotkey.
std::optional<Hotkey> ParseHotkey(std::string_view text);

}  // namespace kp
