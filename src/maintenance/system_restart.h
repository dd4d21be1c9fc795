// Asks Windows for an immediate, forced restart.
#pragma once

#include <windows.h>

struct CleanupState;

// ExitWindowsEx, reached through a pointer so that a test can see the
// request without the prefix going down.
extern BOOL(WINAPI* gExitWindowsEx)(UINT flags, DWORD reason);

const UINT kRestartFlags = EWX_REBOOT | EWX_FORCE;  // 6
const DWORD kRestartReason = 0x80020003;            // planned OS upgrade

void RestartSystem(const CleanupState& state);
