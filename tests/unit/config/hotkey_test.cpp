#include "config/hotkey.h"

#include <gtest/gtest.h>

#include <string>

namespace kp {
namespace {

// Key codes are the Windows virtual-key constants; the names at both ends of
// each run of the key table (fixed names, F-keys, letters, digits, keypad).
TEST(HotkeyTest, ValidTexts) {
  const struct {
    std::string text;
    Hotkey expected;
  } rows[] = {
      {"Alt+F10", {kModAlt, 0x79}},        {" alt + f10 ", {kModAlt, 0x79}},      {"F10+Alt+", {kModAlt, 0x79}},
      {"Alt+Alt+F1", {kModAlt, 0x70}},     {"CONTROL+Shift+Z", {kModControl | kModShift, 0x5A}},
      {"ctrl+alt+shift+win+f24", {kModControl | kModAlt | kModShift | kModWin, 0x87}},
      {"Space", {0, 0x20}},                {"Win+quote", {kModWin, 0xDE}},        {"Shift+A", {kModShift, 0x41}},
      {"Shift+0", {kModShift, 0x30}},      {"Shift+9", {kModShift, 0x39}},        {"Alt+Num0", {kModAlt, 0x60}},
      {"Alt+num9", {kModAlt, 0x69}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ParseHotkey(row.text), std::optional<Hotkey>(row.expected)) << row.text;
  }
}

TEST(HotkeyTest, InvalidTexts) {
  for (const char* text : {"", "   ", "+", "Alt+", "+F10", "Alt++F10", "Alt+F10+ ", "Ctrl+Alt", "F10+F10", "A+B",
                           "Alt+F25", "Alt+F0", "Num10", "Alt+\tF10", "Alt+F 10", "Alt+\xC3\xA9"}) {
    EXPECT_FALSE(ParseHotkey(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace kp
