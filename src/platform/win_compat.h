// Declarations that MinGW-w64 10's Windows headers lack. Kept in one place;
// each is guarded so a newer SDK's own declaration wins.
#pragma once

#include <windows.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif
