// What Windows is this? Asked afresh on every call; nothing is cached.
#pragma once

#include <windows.h>

bool IsNative64Bit();
bool IsWindowsXP();

// Registry access masks, with the 64-bit view on 64-bit Windows.
REGSAM FullAccessMask();  // 0xF003F or 0xF013F
REGSAM ReadAccessMask();  // 0x20019 or 0x20119
