#include "system/responsiveness.h"

#include <windows.h>

namespace {
void (*gHook)() = nullptr;
DWORD gLastCall = 0;
// Often enough that the window answers well within a second.
const DWORD kIntervalMs = 50;
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
    if (now - gLastCall < kIntervalMs)
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
