#include "app/x11_keys.h"

#include <gtest/gtest.h>

#include <set>

#include "config/hotkey.h"

namespace kp {
namespace {

// Every key the hotkey grammar names can be grabbed on X11, each as its own
// keysym; and the modifiers land on X's masks.
TEST(X11KeysTest, EveryGrammarKeyHasItsOwnKeysymAndModifiersMapToXMasks) {
  std::set<uint32_t> seen;
  for (const HotkeyKeyName& key : HotkeyKeyNames()) {
    const uint32_t keysym = KeysymOfVirtualKey(key.code);
    EXPECT_NE(keysym, 0u) << key.name;
    EXPECT_TRUE(seen.insert(keysym).second) << key.name << " shares its keysym";
  }
  EXPECT_EQ(KeysymOfVirtualKey(ParseHotkey("F10")->key), 0xFFC7u);
  EXPECT_EQ(KeysymOfVirtualKey(ParseHotkey("S")->key), static_cast<uint32_t>('s'));
  EXPECT_EQ(KeysymOfVirtualKey(ParseHotkey("Num7")->key), 0xFFB7u);
  EXPECT_EQ(KeysymOfVirtualKey(ParseHotkey("F24")->key), 0xFFD5u);
  EXPECT_EQ(KeysymOfVirtualKey(ParseHotkey("Quote")->key), static_cast<uint32_t>('\''));
  EXPECT_EQ(X11ModifierMask(ParseHotkey("Ctrl+Shift+Alt+Win+S")->modifiers | kModNoRepeat), 0x4D);
  EXPECT_EQ(X11ModifierMask(ParseHotkey("Alt+F10")->modifiers), 0x08);
}

}  // namespace
}  // namespace kp
