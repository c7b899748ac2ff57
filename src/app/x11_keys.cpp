#include "app/x11_keys.h"

#include "config/hotkey.h"

namespace kp {

uint32_t KeysymOfVirtualKey(uint32_t vk) {
  if (vk >= 'A' && vk <= 'Z') return vk - 'A' + 'a';  // XK_a..XK_z
  if (vk >= '0' && vk <= '9') return vk;               // XK_0..XK_9
  if (vk >= 0x70 && vk <= 0x87) return 0xFFBE + (vk - 0x70);  // XK_F1..XK_F24
  if (vk >= 0x60 && vk <= 0x69) return 0xFFB0 + (vk - 0x60);  // XK_KP_0..XK_KP_9
  switch (vk) {
    case 0x20: return 0x0020;  // space
    case 0x09: return 0xFF09;  // Tab
    case 0x0D: return 0xFF0D;  // Return
    case 0x08: return 0xFF08;  // BackSpace
    case 0x2D: return 0xFF63;  // Insert
    case 0x2E: return 0xFFFF;  // Delete
    case 0x24: return 0xFF50;  // Home
    case 0x23: return 0xFF57;  // End
    case 0x21: return 0xFF55;  // Prior
    case 0x22: return 0xFF56;  // Next
    case 0x25: return 0xFF51;  // Left
    case 0x26: return 0xFF52;  // Up
    case 0x27: return 0xFF53;  // Right
    case 0x28: return 0xFF54;  // Down
    case 0x2C: return 0xFF61;  // Print
    case 0x13: return 0xFF13;  // Pause
    case 0x91: return 0xFF14;  // Scroll_Lock
    case 0x6A: return 0xFFAA;  // KP_Multiply
    case 0x6B: return 0xFFAB;  // KP_Add
    case 0x6D: return 0xFFAD;  // KP_Subtract
    case 0x6E: return 0xFFAE;  // KP_Decimal
    case 0x6F: return 0xFFAF;  // KP_Divide
    case 0xBA: return 0x003B;  // semicolon
    case 0xBB: return 0x003D;  // equal
    case 0xBC: return 0x002C;  // comma
    case 0xBD: return 0x002D;  // minus
    case 0xBE: return 0x002E;  // period
    case 0xBF: return 0x002F;  // slash
    case 0xC0: return 0x0060;  // grave
    case 0xDB: return 0x005B;  // bracketleft
    case 0xDC: return 0x005C;  // backslash
    case 0xDD: return 0x005D;  // bracketright
    case 0xDE: return 0x0027;  // apostrophe
    default: return 0;
  }
}

uint16_t X11ModifierMask(uint32_t modifiers) {
  uint16_t mask = 0;
  if (modifiers & kModShift) mask |= 0x01;    // ShiftMask
  if (modifiers & kModControl) mask |= 0x04;  // ControlMask
  if (modifiers & kModAlt) mask |= 0x08;      // Mod1Mask
  if (modifiers & kModWin) mask |= 0x40;      // Mod4Mask
  return mask;
}

}  // namespace kp
