#include "config/hotkey.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <vector>

namespace kp {
namespace {

TEST(HotkeyTest, ValidTexts) {
  struct Case {
    std::string text;
    uint32_t modifiers;
    uint32_t key;
  };
  const std::vector<Case> cases = {
      {"Alt+F10", kModAlt, 0x79},
      {"alt+f10", kModAlt, 0x79},
      {" Alt + F10 ", kModAlt, 0x79},
      {"F10+Alt", kModAlt, 0x79},
      {"Alt+F10+", kModAlt, 0x79},
      {"Alt+Alt+F10", kModAlt, 0x79},
      {"F10", 0, 0x79},
      {"Ctrl+Shift+S", kModControl | kModShift, 0x53},
      {"CONTROL+Num5", kModControl, 0x65},
      {"Win+PrintScreen", kModWin, 0x2C},
      {"ctrl+alt+shift+win+f24", kModControl | kModAlt | kModShift | kModWin, 0x87},
      {"Shift+1", kModShift, 0x31},
      {"Alt+num0", kModAlt, 0x60},
      {"Alt+Backquote", kModAlt, 0xC0},
      {"Alt+Space", kModAlt, 0x20},
  };
  for (const Case& c : cases) {
    std::optional<Hotkey> hotkey = ParseHotkey(c.text);
    ASSERT_TRUE(hotkey.has_value()) << c.text;
    EXPECT_EQ(hotkey->modifiers, c.modifiers) << c.text;
    EXPECT_EQ(hotkey->key, c.key) << c.text;
  }
}

TEST(HotkeyTest, InvalidTexts) {
  const std::vector<std::string> cases = {
      "",        "   ",     "Alt+",     "+F10",     "Alt++F10", "Ctrl+Alt", "A+B",        "F10+F10",
      "Alt+F25", "Alt+Esc", "Alt+\tF10", "Alt+F10\t", "Alt+F 10", "Alt+Plus", "Alt+F10+ ", "Alt+\xC3\xA9",
      "+",       "Alt+F0",  "Num10",
  };
  for (const std::string& text : cases) {
    EXPECT_FALSE(ParseHotkey(text).has_value()) << text;
  }
}

TEST(HotkeyTest, KeyNameTableHasTheFixedOrder) {
  const std::vector<HotkeyKeyName>& names = HotkeyKeyNames();
  ASSERT_EQ(names.size(), 103u);
  EXPECT_EQ(names[0].name, "Space");
  EXPECT_EQ(names[14].name, "PrintScreen");
  EXPECT_EQ(names[32].name, "Quote");
  EXPECT_EQ(names[32].code, 0xDEu);
  for (uint32_t n = 1; n <= 24; ++n) {
    EXPECT_EQ(names[32 + n].name, "F" + std::to_string(n));
    EXPECT_EQ(names[32 + n].code, 0x6Fu + n);
  }
  for (int i = 0; i < 26; ++i) {
    EXPECT_EQ(names[57 + i].name, std::string(1, static_cast<char>('A' + i)));
    EXPECT_EQ(names[57 + i].code, static_cast<uint32_t>('A' + i));
  }
  for (uint32_t d = 0; d <= 9; ++d) {
    EXPECT_EQ(names[83 + 2 * d].name, std::to_string(d));
    EXPECT_EQ(names[83 + 2 * d].code, 0x30 + d);
    EXPECT_EQ(names[84 + 2 * d].name, "Num" + std::to_string(d));
    EXPECT_EQ(names[84 + 2 * d].code, 0x60 + d);
  }
  std::set<std::string> lowerNames;
  std::set<uint32_t> codes;
  for (const HotkeyKeyName& entry : names) {
    std::string lower;
    for (char c : entry.name) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    lowerNames.insert(lower);
    codes.insert(entry.code);
  }
  EXPECT_EQ(lowerNames.size(), 103u);
  EXPECT_EQ(codes.size(), 103u);
}

TEST(HotkeyTest, EveryKeyNameParsesInAnyCase) {
  for (const HotkeyKeyName& entry : HotkeyKeyNames()) {
    std::string lower;
    for (char c : entry.name) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    std::optional<Hotkey> hotkey = ParseHotkey("Shift+" + lower);
    ASSERT_TRUE(hotkey.has_value()) << entry.name;
    EXPECT_EQ(*hotkey, (Hotkey{kModShift, entry.code})) << entry.name;
  }
}

}  // namespace
}  // namespace kp
