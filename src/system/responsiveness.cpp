#include "system/responsiveness.h"

#include <windows.h>

namespace {
void (*gHook)() = nullptr;
DWORD gInterval = kTurnIntervalMs;
DWORD gLastCall = 0;
bool gTurnDue = false;
}

void SetResponsivenessHook(void (*hook)(), unsigned long intervalMs)
{
    gHook = hook;
    gInterval = intervalMs;
    gTurnDue = true;
}

void KeepResponsive()
{
    if (gHook == nullptr)
        return;
    DWORD now = GetTickCount();
    if (!gTurnDue && now - gLastCall < gInterval)
        return;
    gTurnDue = false;
    gLastCall = now;
    gHook();
}

void KeepResponsiveNow()
{
    if (gHook == nullptr)
        return;
    gTurnDue = false;
    gLastCall = GetTickCount();
    gHook();
}
