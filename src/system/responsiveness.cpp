#include "system/responsiveness.h"

#include <windows.h>

namespace {
void (*gHook)() = nullptr;
DWORD gLastCall = 0;
}

void SetResponsivenessHook(void (*hook)())
{
    gHook = hook;
    gLastCall = GetTickCount();
}

void KeepResponsive()
{
    if (gHook == nullptr)
        return;
    DWORD now = GetTickCount();
    if (now - gLastCall < kTurnIntervalMs)
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
