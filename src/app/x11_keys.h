// The hotkey grammar's keys and modifiers as X11 sees them: a Windows
// virtual-key code becomes the keysym of the same key on a US layout, and
// the modifier bits the X modifier mask (Alt = Mod1, Win = Mod4). Portable,
// so every key of the grammar is checked without a display.
#pragma once

#include <cstdint>

namespace kp {

// The keysym of `virtualKey`, or 0 when the key has none.
uint32_t KeysymOfVirtualKey(uint32_t virtualKey);

// The X modifier mask of hotkey modifier bits (kModNoRepeat is ignored).
uint16_t X11ModifierMask(uint32_t modifiers);

}  // namespace kp
