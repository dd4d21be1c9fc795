#include "system/responsiveness.h"

#include <windows.h>

namespace {
void (*gHook)() = nullptr;
DWORD gInterval = kTurnIntervalMs;
DWORD gLastCall = 0;
}

void SetResponsivenessHook(void (*hook)(), unsigned long intervalMs)
{
    gHook = hook;
    gInterval = intervalMs;
    gLastCall = GetTickCount() - intervalMs;  // the first call gives a turn
}

void KeepResponsive()
{
    if (gHook == nullptr)
        return;
    DWORD now = GetTickCount();
    if (now - gLastCall < gInterval)
        return;
    gLastCall = now;
    gHook();
}

void KeepResponsiveNow()
{
    if (gHook == nullptr)
        return;
    gLastCall = GetTickCount();
    gHook();
}
