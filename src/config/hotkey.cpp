#include "config/hotkey.h"

#include <cstddef>

namespace kp {
namespace {

// ASCII-only, as tolower behaves in the "C" locale: bytes of multi-byte
// UTF-8 sequences never match a name.
char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::vector<HotkeyKeyName> BuildKeyNames() {
  std::vector<HotkeyKeyName> names = {
      {"Space", 0x20},       {"Tab", 0x09},          {"Enter", 0x0D},        {"Backspace", 0x08},
      {"Insert", 0x2D},      {"Delete", 0x2E},       {"Home", 0x24},         {"End", 0x23},
      {"PageUp", 0x21},      {"PageDown", 0x22},     {"Up", 0x26},           {"Down", 0x28},
      {"Left", 0x25},        {"Right", 0x27},        {"PrintScreen", 0x2C},  {"Pause", 0x13},
      {"ScrollLock", 0x91},  {"NumMultiply", 0x6A},  {"NumAdd", 0x6B},       {"NumSubtract", 0x6D},
      {"NumDecimal", 0x6E},  {"NumDivide", 0x6F},    {"Semicolon", 0xBA},    {"Equals", 0xBB},
      {"Comma", 0xBC},       {"Minus", 0xBD},        {"Period", 0xBE},       {"Slash", 0xBF},
      {"Backquote", 0xC0},   {"BracketLeft", 0xDB},  {"Backslash", 0xDC},    {"BracketRight", 0xDD},
      {"Quote", 0xDE},
  };
  for (uint32_t n = 1; n <= 24; ++n) names.push_back({"F" + std::to_string(n), 0x70 + n - 1});
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    names.push_back({std::string(1, letter), static_cast<uint32_t>(letter)});
  }
  for (uint32_t digit = 0; digit <= 9; ++digit) {
    names.push_back({std::to_string(digit), 0x30 + digit});
    names.push_back({"Num" + std::to_string(digit), 0x60 + digit});
  }
  return names;
}

std::optional<uint32_t> ModifierBit(std::string_view part) {
  if (EqualsIgnoringCase(part, "Ctrl") || EqualsIgnoringCase(part, "Control")) return kModControl;
  if (EqualsIgnoringCase(part, "Alt")) return kModAlt;
  if (EqualsIgnoringCase(part, "Shift")) return kModShift;
  if (EqualsIgnoringCase(part, "Win")) return kModWin;
  return std::nullopt;
}

std::optional<uint32_t> KeyCode(std::string_view part) {
  for (const HotkeyKeyName& entry : HotkeyKeyNames()) {
    if (EqualsIgnoringCase(part, entry.name)) return entry.code;
  }
  return std::nullopt;
}

std::string_view TrimSpaces(std::string_view part) {
  while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
  while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
  return part;
}

}  // namespace

const std::vector<HotkeyKeyName>& HotkeyKeyNames() {
  static const std::vector<HotkeyKeyName> names = BuildKeyNames();
  return names;
}

std::optional<Hotkey> ParseHotkey(std::string_view text) {
  if (text.empty()) return std::nullopt;
  Hotkey hotkey;
  bool haveKey = false;
  std::string_view remaining = text;
  // A '+' at the very end leaves nothing behind it, so "Alt+F10+" is valid.
  while (!remaining.empty()) {
    size_t plus = remaining.find('+');
    std::string_view part = TrimSpaces(remaining.substr(0, plus));
    remaining = plus == std::string_view::npos ? std::string_view() : remaining.substr(plus + 1);
    if (part.empty()) return std::nullopt;
    if (std::optional<uint32_t> bit = ModifierBit(part)) {
      hotkey.modifiers |= *bit;
      continue;
    }
    if (haveKey) return std::nullopt;
    std::optional<uint32_t> code = KeyCode(part);
    if (!code) return std::nullopt;
    hotkey.key = *code;
    haveKey = true;
  }
  if (!haveKey) return std::nullopt;
  return hotkey;
}

}  // namespace kp
