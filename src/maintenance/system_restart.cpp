#include "maintenance/system_restart.h"

#include "system/cleanup_state.h"
#include "system/handles.h"
#include "system/phase_log.h"

BOOL(WINAPI* gExitWindowsEx)(UINT flags, DWORD reason) = ExitWindowsEx;

void RestartSystem(const CleanupState& state)
{
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                          token.Receive())) {
        LogLine(state, L"Failed to Restart the System \n");
        return;
    }
    TOKEN_PRIVILEGES privileges;
    ZeroMemory(&privileges, sizeof(privileges));
    privileges.PrivilegeCount = 1;
    LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid);
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr)) {
        LogLine(state, L"Failed to Restart the System \n");
        return;
    }
    if (gExitWindowsEx(kRestartFlags, kRestartReason))
        LogLine(state, L"Restarting the system \n");
    else
        LogLine(state, L"Failed to Restart the System");
}
