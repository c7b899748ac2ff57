// Declarations that MinGW-w64 10's Windows headers lack. Kept in one place;
// each is guarded so a newer SDK's own declaration wins.
#pragma once

#include <windows.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// Media Foundation: enumerating the hardware encoders of one adapter.
// MinGW-w64 10's mfapi.h lacks the adapter-LUID attribute. (MFTEnum2 itself
// is resolved at run time, with the rest of Media Foundation.)
#include <mfapi.h>

#if defined(__MINGW64_VERSION_MAJOR) && __MINGW64_VERSION_MAJOR <= 10
// Attribute (8-byte blob holding a LUID) that limits MFTEnum2 to the
// transforms of one adapter.
inline constexpr GUID MFT_ENUM_ADAPTER_LUID = {
    0x1d39518c, 0xe220, 0x4da8, {0xa0, 0x7f, 0xba, 0x17, 0x25, 0x52, 0xd6, 0xb1}};

#endif
