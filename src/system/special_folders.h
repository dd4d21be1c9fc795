// Special folders, and the folders of the user whose desktop is running.
#pragma once

#include <windows.h>

// Fills buffer (260 units) with the folder, ending in one backslash.
// Returns 0, or the thread's last error when the shell has no such folder.
DWORD GetSpecialFolderPath(wchar_t* buffer, int csidl);

// Fills buffer (260 units) with the roaming application data folder of the
// user owning the first explorer.exe, no trailing backslash; empty when
// there is none.
DWORD GetInteractiveUserAppData(wchar_t* buffer);
